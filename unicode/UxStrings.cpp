#include "unicode/UxStrings.h"

bool sameTextIgnoringCase(const QString& a, const QString& b) {
    return a.size() == b.size() && QString::compare(a, b, Qt::CaseInsensitive) == 0;
}

int TWideStrings::Add(const QString& s) {
    int index = GetCount();
    Insert(index, s);
    return index;
}

int TWideStrings::IndexOf(const QString& s) const {
    const int n = GetCount();
    for (int i = 0; i < n; ++i)
        if (sameTextIgnoringCase(Get(i), s)) return i;
    return -1;
}

void TWideStrings::AddStrings(const TWideStrings& other) {
    // Copy first: other may be this list.
    const QStringList items = other.ToStringList();
    for (const QString& s : items) Add(s);
}

void TWideStrings::AddStrings(const std::vector<std::string>& other) {
    for (const std::string& s : other) Add(QString::fromStdString(s));
}

void TWideStrings::AddStrings(const QStringList& other) {
    const QStringList items = other;
    for (const QString& s : items) Add(s);
}

void TWideStrings::Assign(const TWideStrings& other) {
    if (&other == this) return;
    const QStringList items = other.ToStringList();
    Assign(items);
}

void TWideStrings::Assign(const QStringList& other) {
    const QStringList items = other;
    Clear();
    for (const QString& s : items) Add(s);
}

QStringList TWideStrings::ToStringList() const {
    QStringList out;
    const int n = GetCount();
    out.reserve(n);
    for (int i = 0; i < n; ++i) out.append(Get(i));
    return out;
}

QString TWideStrings::GetText() const {
    QString out;
    const int n = GetCount();
    for (int i = 0; i < n; ++i) {
        out += Get(i);
        out += QLatin1Char('\n');
    }
    return out;
}

std::vector<std::string> TUxAnsiStrings::ToVector() const {
    std::vector<std::string> out;
    const int n = GetCount();
    out.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) out.push_back(Get(i));
    return out;
}

void TUxStringList::check(int index, int limit) const {
    if (index < 0 || index >= limit)
        throw EStringListError("List index out of bounds (" + std::to_string(index) + "); the list has " +
                               std::to_string(items_.size()) + " items");
}

QString TUxStringList::Get(int index) const {
    check(index, GetCount());
    return items_.at(index);
}

void TUxStringList::Put(int index, const QString& s) {
    check(index, GetCount());
    items_[index] = s;
}

void TUxStringList::Insert(int index, const QString& s) {
    check(index, GetCount() + 1);
    items_.insert(index, s);
}

void TUxStringList::Delete(int index) {
    check(index, GetCount());
    items_.removeAt(index);
}

int TUxStringList::Add(const QString& s) {
    items_.append(s);
    return GetCount() - 1;
}
