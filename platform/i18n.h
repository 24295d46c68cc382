// Translation and number formatting. _() looks a text up in the gettext domain "default"
// (catalogues in "locale" beside the program). Operator numbers use the locale's decimal
// separator; instrument commands and status lines always use "." (cformat, C locale).
#pragma once
#include <QString>
#include <cstdint>
#include <initializer_list>
#include <string>

class QWidget;

namespace i18n {
// Binds the domain to the folder "locale" beside the program and reads the
// locale's decimal separator. Called once at start-up (after QApplication exists).
void init(const std::string& programPath);
QString translate(const char* text);
std::string translate8(const char* text);
// The text for a count in the language's plural form (gettext's plural rules; English:
// singular for 1, plural otherwise), with the first "%s" replaced by the count.
QString translateCount(const char* singular, const char* plural, unsigned long count);
// The current language code ("en", "de", "fr"; "" in the C locale).
std::string language();
// Passes every text of the widget and its children (captions, labels, items, tooltips)
// through the translation.
void translateComponent(QWidget* w);
}  // namespace i18n

#define _(text) ::i18n::translate(text)
#define _8(text) ::i18n::translate8(text)
#define _n(singular, plural, count) ::i18n::translateCount(singular, plural, count)
inline void TranslateComponent(QWidget* w) {
    i18n::translateComponent(w);
}

// Replaces the first "%s" of text with value (the whole value, unformatted).
QString fillFirst(const QString& text, const QString& value);
std::string fillFirst8(const std::string& text, const std::string& value);
// Fills the "%s" of text with the values in order, in one pass: a value that holds "%s" itself
// takes no later value.
QString fillInOrder(const QString& text, std::initializer_list<QString> values);

// The locale's decimal separator, read at start-up ('.' when the locale gives none).
char DecimalSeparator();
void setDecimalSeparator(char c);  // tests
// Operator numbers: parse and format with DecimalSeparator().
bool tryStrToFloat(const std::string& s, double& out);
std::string floatToStr(double v);  // shortest form, like the framework's FloatToStr

// The program's whole-number conversion: leading blanks, sign, decimal or hex after
// "$", "x", "X", "0x", "0X"; nothing may follow; 32-bit range. Fails on anything else.
bool tryStrToInt(const std::string& s, int32_t& out);
int32_t strToIntDef(const std::string& s, int32_t def);

// printf-style formatting in the C locale, whatever the process locale is.
std::string cformat(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Parses a number in the C locale ("." separator); false when text is not a whole number.
bool cparseDouble(const std::string& s, double& out);
