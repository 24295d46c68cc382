#include "ui/About.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QVBoxLayout>

#include "platform/SystemInfo.h"
#include "platform/i18n.h"

TAboutForm* AboutForm = nullptr;

namespace {
QPixmap picture() {
    QPixmap p(96, 64);
    p.fill(Qt::transparent);
    QPainter g(&p);
    g.setRenderHint(QPainter::Antialiasing);
    g.setBrush(QColor(0xA6, 0xCA, 0xF0));
    g.setPen(QPen(QColor(0x00, 0x00, 0x80), 2));
    g.drawRoundedRect(QRectF(2, 2, 92, 60), 10, 10);
    QFont f("Arial", 16, QFont::Bold);
    g.setFont(f);
    g.drawText(QRectF(2, 2, 92, 60), Qt::AlignCenter, "KVZ");
    return p;
}
}  // namespace

TAboutForm::TAboutForm(QWidget* owner) : TUxForm(owner) {
    setObjectName("AboutForm");
    SetCaption("About");
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);

    Image1 = new TUxLabel(this);
    Image1->setObjectName("Image1");
    Image1->setPixmap(picture());
    Image1->setAlignment(Qt::AlignCenter);
    Label1 = new TUxLabel("Zentrova KVZ Software by Tressivan Labs", this);
    Label1->setObjectName("Label1");
    Label1->setAlignment(Qt::AlignCenter);
    Label2 = new TUxLabel("www.tressivanlabs.example", this);
    Label2->setObjectName("Label2");
    Label2->setAlignment(Qt::AlignCenter);
    VersionLbl = new TUxLabel(this);
    VersionLbl->setObjectName("VersionLbl");
    VersionLbl->setAlignment(Qt::AlignCenter);
    auto* v = new QVBoxLayout(this);
    v->setContentsMargins(24, 16, 24, 16);
    v->addWidget(Image1);
    v->addWidget(Label1);
    v->addWidget(Label2);
    v->addWidget(VersionLbl);

    for (TUxLabel* l : {Image1, Label1, Label2, VersionLbl}) l->OnClick = [this] { FormClick(); };
    OnShow = [this] {
        CentreOn(nullptr);
        FormShow();
    };
    FormCreate();
}

TAboutForm::~TAboutForm() {
    if (AboutForm == this) AboutForm = nullptr;
}

void TAboutForm::FormCreate() {
    TranslateComponent(this);
}

void TAboutForm::FormShow() {
    const std::string version = SystemInfo::programVersion();
    if (version.empty())
        VersionLbl->SetCaption(_("No version information found"));
    else
        VersionLbl->SetCaption(_("Version ") + QString::fromStdString(version));
}

void TAboutForm::FormClick() {
    Close();
}

void TAboutForm::mouseReleaseEvent(QMouseEvent* e) {
    TUxForm::mouseReleaseEvent(e);
    if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint())) FormClick();
}
