#include "ports/ZpStatusLight.h"

#include <QChildEvent>
#include <QPainter>
#include <QPointer>

// ---- lamp ----
TZpCustomStatusLight::TZpCustomStatusLight(QWidget* parent) : TZpBaseGraphicControl(parent) {
    resize(13, 13);
}

void TZpCustomStatusLight::SetLit(bool v) {
    if (v == lit_) return;
    lit_ = v;
    update();
}

void TZpCustomStatusLight::SetLitColor(const QColor& c) {
    if (c == litColor_) return;
    litColor_ = c;
    if (!hasGlyph_ && lit_) update();
}

void TZpCustomStatusLight::SetNotLitColor(const QColor& c) {
    if (c == notLitColor_) return;
    notLitColor_ = c;
    if (!hasGlyph_ && !lit_) update();
}

void TZpCustomStatusLight::SetGlyph(const QPixmap& g) {
    glyph_ = g;
    hasGlyph_ = !g.isNull();
    if (hasGlyph_)
        resize(g.width() / 2, g.height());
    else
        resize(13, 13);
    update();
}

void TZpCustomStatusLight::SetBounds(int left, int top, int width, int height) {
    if (hasGlyph_) {
        width = glyph_.width() / 2;
        height = glyph_.height();
    }
    setGeometry(left, top, width, height);
}

void TZpCustomStatusLight::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const int w = width(), h = height();
    if (hasGlyph_) {
        const int half = glyph_.width() / 2;
        QPixmap part = glyph_.copy(lit_ ? 0 : half, 0, half, glyph_.height());
        // The top-left pixel's colour is transparent.
        const QColor key = glyph_.toImage().pixelColor(0, 0);
        part.setMask(part.createMaskFromColor(key, Qt::MaskInColor));
        p.drawPixmap(0, 0, part);
        return;
    }
    p.fillRect(rect(), lit_ ? litColor_ : notLitColor_);
    p.setPen(QColor(255, 255, 255));
    p.drawLine(0, 0, w - 1, 0);
    p.drawLine(0, 0, 0, h - 1);
    p.setPen(QColor(128, 128, 128));
    p.drawLine(w - 1, 1, w - 1, h - 1);
    p.drawLine(1, h - 1, w - 1, h - 1);
}

// ---- controller ----
TZpCustomSLController::TZpCustomSLController(QObject* owner) : TZpBaseComponent(owner) {
    if (owner) attachPort(SearchComPort(owner));
    if (owner) owner->installEventFilter(this);
}

void TZpCustomSLController::attachPort(TZpCustomComPort* p) {
    comPort_ = p;
    if (!p) return;
    p->RegisterUserCallback(this, [this](TZpCustomComPort* cp, bool opening) { portOpenClose(cp, opening); });
    // By the time this runs the port is no longer one: it is forgotten without being called.
    connect(p, &QObject::destroyed, this, [this, p] {
        if (!comPort_ || comPort_.data() == p) portDestroyed();
    });
}

void TZpCustomSLController::portDestroyed() {
    comPort_ = nullptr;
    monitoring_ = false;
    monitoringWanted_ = false;
    savedAvail_ = nullptr;
    savedStatus_ = nullptr;
    savedTimer_ = nullptr;
    modemMask_ = 0;
    msTrig_ = errorTrig_ = breakTrig_ = errorTimer_ = breakTimer_ = rxdTimer_ = txdTrig_ = txdTimer_ =
        ringTimer_ = 0;
    initLights();
}

bool TZpCustomSLController::eventFilter(QObject* watched, QEvent* e) {
    if (e->type() == QEvent::ChildAdded && watched == parent()) {
        // The new component is still being constructed: its kind is known once that is done.
        QPointer<QObject> child = static_cast<QChildEvent*>(e)->child();
        QMetaObject::invokeMethod(
            this, [this, child] { Inserted(child.data()); }, Qt::QueuedConnection);
    }
    return false;
}

void TZpCustomSLController::Inserted(QObject* component) {
    if (comPort_ || !component || component->parent() != parent()) return;
    if (auto* p = dynamic_cast<TZpCustomComPort*>(component)) SetComPort(p);
}

TZpCustomSLController::~TZpCustomSLController() {
    try {
        SetMonitoring(false);
    } catch (const std::exception&) {
    }
    if (comPort_) comPort_->DeregisterUserCallback(this);
}

void TZpCustomSLController::Loaded() {}

void TZpCustomSLController::Notification(QObject* removed) {
    if (!removed) return;
    if (removed == comPort_.data()) {
        try {
            SetMonitoring(false);
        } catch (const std::exception&) {
        }
        comPort_->DeregisterUserCallback(this);
        disconnect(comPort_.data(), &QObject::destroyed, this, nullptr);
        portDestroyed();
    }
    const auto forget = [removed](auto& lamp) {
        if (lamp == removed) lamp = nullptr;
    };
    forget(lights_.CTSLight);
    forget(lights_.DSRLight);
    forget(lights_.DCDLight);
    forget(lights_.RINGLight);
    forget(lights_.TXDLight);
    forget(lights_.RXDLight);
    forget(lights_.ERRORLight);
    forget(lights_.BREAKLight);
}

void TZpCustomSLController::SetComPort(TZpCustomComPort* p) {
    if (p == comPort_) return;
    if (comPort_) {
        comPort_->DeregisterUserCallback(this);
        disconnect(comPort_.data(), &QObject::destroyed, this, nullptr);
    }
    // Only monitoring that runs moves to the new port; a wish made while the old port was
    // closed stays a wish, granted when a port opens.
    const bool was = monitoring_;
    SetMonitoring(false);
    attachPort(p);
    // Without a new port this raises: monitoring that ran cannot go on with no port.
    if (was) SetMonitoring(true);
}

void TZpCustomSLController::portOpenClose(TZpCustomComPort*, bool opening) {
    if (!opening) {
        const bool was = monitoring_;
        SetMonitoring(false);
        monitoringWanted_ = was;
    } else if (monitoringWanted_) {
        monitoringWanted_ = false;
        SetMonitoring(true);
    }
}

void TZpCustomSLController::SetMonitoring(bool on) {
    if (Loading() || on == monitoring_) return;
    if (!comPort_) {
        if (on) throw EPortNotAssigned(-1005);
        return;
    }
    if (comPort_->PortState() != psOpen) {
        monitoringWanted_ = on;
        if (on) return;
    }
    monitoring_ = on;
    if (on) {
        savedAvail_ = comPort_->GetOnTriggerAvail();
        savedStatus_ = comPort_->GetOnTriggerStatus();
        savedTimer_ = comPort_->GetOnTriggerTimer();
        comPort_->SetOnTriggerAvail([this](TZpCustomComPort* cp, uint16_t c) { onAvail(cp, c); });
        comPort_->SetOnTriggerStatus([this](TZpCustomComPort* cp, uint16_t h) { onStatus(cp, h); });
        comPort_->SetOnTriggerTimer([this](TZpCustomComPort* cp, uint16_t h) { onTimer(cp, h); });
        try {
            addTriggers();
        } catch (...) {
            modemMask_ = 0;
            removeTriggers();
            throw;
        }
    } else {
        comPort_->SetOnTriggerAvail(savedAvail_);
        comPort_->SetOnTriggerStatus(savedStatus_);
        comPort_->SetOnTriggerTimer(savedTimer_);
        savedAvail_ = nullptr;
        savedStatus_ = nullptr;
        savedTimer_ = nullptr;
        if (comPort_->PortState() == psOpen)
            removeTriggers();
        else
            msTrig_ = errorTrig_ = breakTrig_ = errorTimer_ = breakTimer_ = rxdTimer_ = txdTrig_ = txdTimer_ =
                ringTimer_ = 0;
    }
    initLights();
}

void TZpCustomSLController::initLights() {
    TZpCustomStatusLight* all[] = {lights_.CTSLight,   lights_.DSRLight,  lights_.DCDLight,
                                   lights_.RINGLight,  lights_.TXDLight,  lights_.RXDLight,
                                   lights_.ERRORLight, lights_.BREAKLight};
    for (auto* l : all)
        if (l) l->SetLit(false);
    if (comPort_ && monitoring_) {
        if (lights_.CTSLight) lights_.CTSLight->SetLit(comPort_->CTS());
        if (lights_.DSRLight) lights_.DSRLight->SetLit(comPort_->DSR());
        if (lights_.DCDLight) lights_.DCDLight->SetLit(comPort_->DCD());
    }
}

void TZpCustomSLController::addTriggers() {
    msTrig_ = errorTrig_ = breakTrig_ = errorTimer_ = breakTimer_ = rxdTimer_ = txdTrig_ = txdTimer_ =
        ringTimer_ = 0;
    TZpCustomComPort* p = comPort_;
    if (lights_.CTSLight || lights_.DSRLight || lights_.DCDLight || lights_.RINGLight) {
        msTrig_ = p->AddStatusTrigger(stModem);
        if (lights_.RINGLight) ringTimer_ = p->AddTimerTrigger();
    }
    if (lights_.ERRORLight) {
        errorTrig_ = p->AddStatusTrigger(stLine);
        errorTimer_ = p->AddTimerTrigger();
    }
    if (lights_.BREAKLight) {
        breakTrig_ = p->AddStatusTrigger(stLine);
        breakTimer_ = p->AddTimerTrigger();
    }
    if (lights_.RXDLight) rxdTimer_ = p->AddTimerTrigger();
    if (lights_.TXDLight) {
        txdTrig_ = p->AddStatusTrigger(stOutSent);
        txdTimer_ = p->AddTimerTrigger();
    }
    modemMask_ = 0;
    if (lights_.CTSLight) modemMask_ |= 0x10;
    if (lights_.DSRLight) modemMask_ |= 0x20;
    if (lights_.DCDLight) modemMask_ |= 0x80;
    if (lights_.RINGLight) modemMask_ |= 0x04;
    if (msTrig_) p->SetStatusTrigger(msTrig_, static_cast<uint16_t>(modemMask_), true);
    if (errorTrig_) p->SetStatusTrigger(errorTrig_, 7, true);
    if (breakTrig_) p->SetStatusTrigger(breakTrig_, 8, true);
    if (txdTrig_) p->SetStatusTrigger(txdTrig_, 0, true);
}

void TZpCustomSLController::removeTriggers() {
    uint16_t* all[] = {&msTrig_,   &errorTrig_, &breakTrig_, &errorTimer_, &breakTimer_,
                       &rxdTimer_, &txdTrig_,   &txdTimer_,  &ringTimer_};
    for (auto* h : all) {
        if (*h && comPort_) {
            try {
                comPort_->RemoveTrigger(*h);
            } catch (const std::exception&) {
            }
        }
        *h = 0;
    }
}

void TZpCustomSLController::onAvail(TZpCustomComPort* cp, uint16_t count) {
    if (lights_.RXDLight && !lights_.RXDLight->GetLit()) {
        lights_.RXDLight->SetLit(true);
        if (rxdTimer_) cp->SetTimerTrigger(rxdTimer_, RXDOffTimeout, true);
    }
    if (savedAvail_) savedAvail_(cp, count);
}

void TZpCustomSLController::onStatus(TZpCustomComPort* cp, uint16_t handle) {
    if (handle == msTrig_ && msTrig_) {
        setLamp(lights_.DCDLight, cp->DCD());
        setLamp(lights_.CTSLight, cp->CTS());
        setLamp(lights_.DSRLight, cp->DSR());
        if (lights_.RINGLight && cp->DeltaRI() && !lights_.RINGLight->GetLit()) {
            lights_.RINGLight->SetLit(true);
            if (ringTimer_) cp->SetTimerTrigger(ringTimer_, RingOffTimeout, true);
        }
        cp->SetStatusTrigger(msTrig_, static_cast<uint16_t>(modemMask_), true);
    } else if (handle == errorTrig_ && errorTrig_) {
        setLamp(lights_.ERRORLight, true);
        cp->SetTimerTrigger(errorTimer_, ErrorOffTimeout, true);
        cp->GetLineError();
    } else if (handle == breakTrig_ && breakTrig_) {
        setLamp(lights_.BREAKLight, true);
        cp->SetTimerTrigger(breakTimer_, BreakOffTimeout, true);
        cp->LineBreak();
    } else if (handle == txdTrig_ && txdTrig_) {
        setLamp(lights_.TXDLight, true);
        cp->SetTimerTrigger(txdTimer_, TXDOffTimeout, true);
    }
    if (savedStatus_) savedStatus_(cp, handle);
}

void TZpCustomSLController::onTimer(TZpCustomComPort* cp, uint16_t handle) {
    if (handle == errorTimer_ && errorTimer_) {
        setLamp(lights_.ERRORLight, false);
        cp->SetStatusTrigger(errorTrig_, 7, true);
    } else if (handle == breakTimer_ && breakTimer_) {
        setLamp(lights_.BREAKLight, false);
        cp->SetStatusTrigger(breakTrig_, 8, true);
    } else if (handle == rxdTimer_ && rxdTimer_) {
        if (cp->InBuffUsed() > 0)
            cp->SetTimerTrigger(rxdTimer_, RXDOffTimeout, true);
        else
            setLamp(lights_.RXDLight, false);
    } else if (handle == txdTimer_ && txdTimer_) {
        if (cp->OutBuffUsed() > 0)
            cp->SetTimerTrigger(txdTimer_, TXDOffTimeout, true);
        else {
            setLamp(lights_.TXDLight, false);
            cp->SetStatusTrigger(txdTrig_, 0, true);
        }
    } else if (handle == ringTimer_ && ringTimer_) {
        setLamp(lights_.RINGLight, false);
    }
    if (savedTimer_) savedTimer_(cp, handle);
}
