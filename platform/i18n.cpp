#include "platform/i18n.h"

#include <libintl.h>
#include <locale.h>

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QSet>
#include <QTabWidget>
#include <QVariant>
#include <QWidget>
#include <atomic>
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {
const char* const kDomain = "default";
std::atomic<char> gDecimalSeparator{'.'};

// The C locale object for number formatting and parsing, whatever the process locale is.
locale_t cLocale() {
    static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string trimBlanks(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

const char* lookup(const char* text) {
    if (!text || !*text) return "";  // the empty msgid would give the catalogue header
    return dgettext(kDomain, text);
}

// The original of a text is kept in a dynamic property beside the last translation, so
// translating twice is harmless and a text the program changed since is taken as new.
QString translatedOnce(QObject* o, const char* field, const QString& current) {
    if (current.isEmpty()) return current;
    const QByteArray origProp = QByteArray("_i18n_orig_") + field;
    const QByteArray lastProp = QByteArray("_i18n_last_") + field;
    QString original = current;
    const QVariant last = o->property(lastProp.constData());
    if (last.isValid() && last.toString() == current) original = o->property(origProp.constData()).toString();
    const QString result = i18n::translate(original.toUtf8().constData());
    o->setProperty(origProp.constData(), original);
    o->setProperty(lastProp.constData(), result);
    return result;
}

template <typename Get, typename Set>
void translateField(QObject* o, const char* field, Get get, Set set) {
    const QString cur = get();
    const QString t = translatedOnce(o, field, cur);
    if (t != cur) set(t);
}

const int kOrigItemRole = Qt::UserRole + 0x1180;
const int kLastItemRole = Qt::UserRole + 0x1181;

void translateCombo(QComboBox* c) {
    for (int i = 0; i < c->count(); ++i) {
        const QString cur = c->itemText(i);
        if (cur.isEmpty()) continue;
        QString original = cur;
        const QVariant last = c->itemData(i, kLastItemRole);
        if (last.isValid() && last.toString() == cur) original = c->itemData(i, kOrigItemRole).toString();
        const QString t = i18n::translate(original.toUtf8().constData());
        c->setItemData(i, original, kOrigItemRole);
        c->setItemData(i, t, kLastItemRole);
        if (t != cur) c->setItemText(i, t);
    }
}

void translateWidget(QWidget* w) {
    translateField(
        w, "windowTitle", [w] { return w->windowTitle(); }, [w](const QString& t) { w->setWindowTitle(t); });
    translateField(
        w, "toolTip", [w] { return w->toolTip(); }, [w](const QString& t) { w->setToolTip(t); });
    if (auto* l = qobject_cast<QLabel*>(w))
        translateField(
            w, "text", [l] { return l->text(); }, [l](const QString& t) { l->setText(t); });
    if (auto* b = qobject_cast<QAbstractButton*>(w))
        translateField(
            w, "text", [b] { return b->text(); }, [b](const QString& t) { b->setText(t); });
    if (auto* g = qobject_cast<QGroupBox*>(w))
        translateField(
            w, "title", [g] { return g->title(); }, [g](const QString& t) { g->setTitle(t); });
    if (auto* m = qobject_cast<QMenu*>(w))
        translateField(
            w, "title", [m] { return m->title(); }, [m](const QString& t) { m->setTitle(t); });
    if (auto* c = qobject_cast<QComboBox*>(w)) translateCombo(c);
    if (auto* tw = qobject_cast<QTabWidget*>(w)) {
        for (int i = 0; i < tw->count(); ++i) {
            const QByteArray field = "tab" + QByteArray::number(i);
            translateField(
                w, field.constData(), [tw, i] { return tw->tabText(i); },
                [tw, i](const QString& t) { tw->setTabText(i, t); });
        }
    }
}

void translateAction(QAction* a) {
    if (a->menu<QMenu*>()) return;  // the menu's title is its action's text; the menu itself handles it
    translateField(
        a, "text", [a] { return a->text(); }, [a](const QString& t) { a->setText(t); });
    translateField(
        a, "toolTip", [a] { return a->toolTip(); }, [a](const QString& t) { a->setToolTip(t); });
}
}  // namespace

namespace i18n {
void init(const std::string& programPath) {
    std::setlocale(LC_ALL, "");
    std::string dir = programPath;
    const auto slash = dir.rfind('/');
    dir = slash == std::string::npos ? std::string(".") : dir.substr(0, slash == 0 ? 1 : slash);
    const std::string localeDir = dir + "/locale";
    bindtextdomain(kDomain, localeDir.c_str());
    bind_textdomain_codeset(kDomain, "UTF-8");
    textdomain(kDomain);

    char sep = '.';
    if (const lconv* lc = std::localeconv();
        lc && lc->decimal_point && lc->decimal_point[0] && !lc->decimal_point[1])
        sep = lc->decimal_point[0];
    else {
        const QString qs = QLocale::system().decimalPoint();
        if (qs.size() == 1 && qs[0].unicode() < 0x80) sep = static_cast<char>(qs[0].unicode());
    }
    gDecimalSeparator = sep;
    // Numbers that other code formats or parses through the C library stay in "." form.
    std::setlocale(LC_NUMERIC, "C");
}

QString translate(const char* text) {
    return QString::fromUtf8(lookup(text));
}

std::string translate8(const char* text) {
    return lookup(text);
}

QString translateCount(const char* singular, const char* plural, unsigned long count) {
    const QString form = QString::fromUtf8(dngettext(kDomain, singular, plural, count));
    return fillFirst(form, QString::number(count));
}

std::string language() {
    // gettext's own rule: no translation in the "C" locale, else $LANGUAGE before the locale.
    const char* cur = std::setlocale(LC_MESSAGES, nullptr);
    const std::string loc = cur ? cur : "";
    if (loc.empty() || loc == "C" || loc == "POSIX") return "";
    std::string lang = loc;
    if (const char* env = std::getenv("LANGUAGE"); env && *env) lang = env;
    const std::string code = lang.substr(0, lang.find_first_of("_.@:"));
    if (code == "C" || code == "POSIX") return "";
    return code;
}

void translateComponent(QWidget* w) {
    if (!w) return;
    QList<QWidget*> widgets{w};
    widgets += w->findChildren<QWidget*>();
    QSet<QAction*> actions;
    for (QWidget* c : widgets) {
        translateWidget(c);
        for (QAction* a : c->actions()) actions.insert(a);
    }
    for (QAction* a : w->findChildren<QAction*>()) actions.insert(a);
    for (QAction* a : actions) translateAction(a);
}
}  // namespace i18n

QString fillFirst(const QString& text, const QString& value) {
    const qsizetype at = text.indexOf(QLatin1String("%s"));
    if (at < 0) return text;
    QString out = text;
    out.replace(at, 2, value);
    return out;
}

QString fillInOrder(const QString& text, std::initializer_list<QString> values) {
    QString out;
    qsizetype from = 0;
    for (const QString& v : values) {
        const qsizetype at = text.indexOf(QLatin1String("%s"), from);
        if (at < 0) break;
        out += text.mid(from, at - from) + v;
        from = at + 2;
    }
    return out + text.mid(from);
}

std::string fillFirst8(const std::string& text, const std::string& value) {
    const auto at = text.find("%s");
    if (at == std::string::npos) return text;
    std::string out = text;
    out.replace(at, 2, value);
    return out;
}

char DecimalSeparator() {
    return gDecimalSeparator;
}

void setDecimalSeparator(char c) {
    gDecimalSeparator = c ? c : '.';
}

bool tryStrToFloat(const std::string& s, double& out) {
    const std::string t = trimBlanks(s);
    const char sep = DecimalSeparator();
    // [sign] digits [sep digits] [e [sign] digits], at least one mantissa digit.
    std::string norm;
    size_t i = 0;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) norm += t[i++];
    size_t digits = 0;
    while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) {
        norm += t[i++];
        ++digits;
    }
    if (i < t.size() && t[i] == sep) {
        norm += '.';
        ++i;
        while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) {
            norm += t[i++];
            ++digits;
        }
    }
    if (digits == 0) return false;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        norm += 'e';
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) norm += t[i++];
        size_t expDigits = 0;
        while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) {
            norm += t[i++];
            ++expDigits;
        }
        if (expDigits == 0) return false;
    }
    if (i != t.size()) return false;
    errno = 0;
    const double v = strtod_l(norm.c_str(), nullptr, cLocale());
    if (!std::isfinite(v)) return false;
    out = v;
    return true;
}

std::string floatToStr(double v) {
    if (std::isnan(v)) return "NAN";
    if (std::isinf(v)) return v < 0 ? "-INF" : "INF";
    std::string s = cformat("%.15g", v);
    const auto e = s.find('e');
    if (e != std::string::npos) {
        std::string mant = s.substr(0, e);
        std::string exp = s.substr(e + 1);
        bool neg = false;
        if (!exp.empty() && (exp[0] == '+' || exp[0] == '-')) {
            neg = exp[0] == '-';
            exp.erase(0, 1);
        }
        while (exp.size() > 1 && exp[0] == '0') exp.erase(0, 1);
        s = mant + "E" + (neg ? "-" : "") + exp;
    }
    const char sep = DecimalSeparator();
    if (sep != '.')
        for (char& c : s)
            if (c == '.') c = sep;
    return s;
}

bool tryStrToInt(const std::string& s, int32_t& out) {
    size_t i = 0;
    const size_t n = s.size();
    while (i < n && isBlank(s[i])) ++i;
    bool neg = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) {
        neg = s[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < n && s[i] == '$') {
        base = 16;
        ++i;
    } else if (i < n && (s[i] == 'x' || s[i] == 'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < n && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= n) return false;
    const int64_t limit = neg ? int64_t{2147483648} : int64_t{2147483647};
    int64_t v = 0;
    for (; i < n; ++i) {
        const char c = s[i];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = v * base + d;
        if (v > limit) return false;
    }
    out = static_cast<int32_t>(neg ? -v : v);
    return true;
}

int32_t strToIntDef(const std::string& s, int32_t def) {
    int32_t v;
    return tryStrToInt(s, v) ? v : def;
}

std::string cformat(const char* fmt, ...) {
    const locale_t old = uselocale(cLocale());
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    char buf[256];
    const int len = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    std::string out;
    if (len < 0) {
        out.clear();
    } else if (static_cast<size_t>(len) < sizeof buf) {
        out.assign(buf, static_cast<size_t>(len));
    } else {
        std::vector<char> big(static_cast<size_t>(len) + 1);
        std::vsnprintf(big.data(), big.size(), fmt, ap2);
        out.assign(big.data(), static_cast<size_t>(len));
    }
    va_end(ap2);
    uselocale(old);
    return out;
}

bool cparseDouble(const std::string& s, double& out) {
    const std::string t = trimBlanks(s);
    if (t.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const double v = strtod_l(t.c_str(), &end, cLocale());
    if (end != t.c_str() + t.size() || !std::isfinite(v)) return false;
    out = v;
    return true;
}
