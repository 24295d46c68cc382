// Unicode string lists: the abstract list the controls expose (TWideStrings), a plain list
// (TUxStringList) and the 8-bit (UTF-8) view over a list's items (TUxStrings::AnsiStrings).
#pragma once
#include <QString>
#include <QStringList>
#include <stdexcept>
#include <string>
#include <vector>

// The list's index error: an index outside the list, or an operation the list cannot do.
class EStringListError : public std::out_of_range {
  public:
    using std::out_of_range::out_of_range;
};

// Abstract list of Unicode texts. Controls implement it over their own items.
class TWideStrings {
  public:
    virtual ~TWideStrings() = default;

    virtual int GetCount() const = 0;
    virtual QString Get(int index) const = 0;
    // Replaces the text at index.
    virtual void Put(int index, const QString& s) = 0;
    // Inserts before index (index == GetCount() appends).
    virtual void Insert(int index, const QString& s) = 0;
    virtual void Delete(int index) = 0;
    virtual void Clear() = 0;
    // Appends and returns the new item's index (some lists may refuse and return -1).
    virtual int Add(const QString& s);

    void Append(const QString& s) { Add(s); }
    // Index of the first item equal to s without regard to letter case (lengths must
    // match), -1 when none.
    virtual int IndexOf(const QString& s) const;
    // Appends every item of another list.
    void AddStrings(const TWideStrings& other);
    // Appends every item of an 8-bit list (UTF-8).
    void AddStrings(const std::vector<std::string>& other);
    void AddStrings(const QStringList& other);
    // Replaces the contents with the items of another list.
    void Assign(const TWideStrings& other);
    void Assign(const QStringList& other);

    QStringList ToStringList() const;
    // All items, each followed by a line break ("\n").
    QString GetText() const;
    bool IsEmpty() const { return GetCount() == 0; }
    QString operator[](int index) const { return Get(index); }
};

// Compares as TWideStrings::IndexOf does.
bool sameTextIgnoringCase(const QString& a, const QString& b);

class TUxStrings;

// 8-bit view over the same items: reads and writes convert through UTF-8.
class TUxAnsiStrings {
  public:
    explicit TUxAnsiStrings(TWideStrings& list) : list_(&list) {}
    int GetCount() const { return list_->GetCount(); }
    std::string Get(int index) const { return list_->Get(index).toStdString(); }
    void Put(int index, const std::string& s) { list_->Put(index, QString::fromStdString(s)); }
    int Add(const std::string& s) { return list_->Add(QString::fromStdString(s)); }
    void Insert(int index, const std::string& s) { list_->Insert(index, QString::fromStdString(s)); }
    void Delete(int index) { list_->Delete(index); }
    void Clear() { list_->Clear(); }
    int IndexOf(const std::string& s) const { return list_->IndexOf(QString::fromStdString(s)); }
    std::vector<std::string> ToVector() const;

  private:
    TWideStrings* list_;
};

// A TWideStrings with an 8-bit view.
class TUxStrings : public TWideStrings {
  public:
    TUxAnsiStrings AnsiStrings() { return TUxAnsiStrings(*this); }
};

// A plain Unicode string list. An index outside the list raises EStringListError.
class TUxStringList : public TUxStrings {
  public:
    TUxStringList() = default;
    TUxStringList(const TUxStringList&) = default;
    TUxStringList& operator=(const TUxStringList&) = default;
    explicit TUxStringList(const QStringList& items) : items_(items) {}

    int GetCount() const override { return static_cast<int>(items_.size()); }
    QString Get(int index) const override;
    void Put(int index, const QString& s) override;
    void Insert(int index, const QString& s) override;
    void Delete(int index) override;
    void Clear() override { items_.clear(); }
    int Add(const QString& s) override;

    bool operator==(const TUxStringList& o) const { return items_ == o.items_; }
    const QStringList& items() const { return items_; }

  private:
    void check(int index, int limit) const;
    QStringList items_;
};
