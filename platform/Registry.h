// The settings store: a hierarchical key/value store with typed values, kept in one
// SQLite file shared by every copy of the program. Key names are case-insensitive and
// case-preserving. Paths use "\" as separator; a path that starts with "\" is taken from
// the root, any other from the currently open key.
#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

enum class RegRoot { CurrentUser, LocalMachine };
enum class RegDataType { None = 0, String = 1, Binary = 3, Dword = 4 };

class ERegistryException : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class Registry {
  public:
    explicit Registry(RegRoot root = RegRoot::CurrentUser);
    ~Registry();  // rolls back an open transaction
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    void setRootKey(RegRoot root);
    RegRoot rootKey() const { return root_; }

    // Opens a key; without canCreate a missing key is not created and false is returned.
    bool openKey(const std::string& path, bool canCreate);
    bool openKeyReadOnly(const std::string& path);
    void closeKey();
    // Path of the open key, without a leading "\" ("" for the root).
    const std::string& currentPath() const { return current_; }

    bool keyExists(const std::string& path);
    bool deleteKey(const std::string& path);   // deletes the key and its whole subtree
    std::vector<std::string> getKeyNames();    // subkeys of the open key, in name order
    std::vector<std::string> getValueNames();  // values of the open key, in name order
    // For rescuing a damaged store: every name that can still be read; what could not be
    // read goes to problem ("" when all was read).
    std::vector<std::string> getKeyNames(std::string& problem);
    std::vector<std::string> getValueNames(std::string& problem);
    bool hasSubKeys();

    bool valueExists(const std::string& name);
    bool deleteValue(const std::string& name);
    RegDataType getDataType(const std::string& name);  // None when missing

    // A missing value reads as ""; a value of another type raises ERegistryException.
    std::string readString(const std::string& name);
    // A missing value or a value of another type raises ERegistryException.
    int32_t readInteger(const std::string& name);
    bool readBool(const std::string& name);  // readInteger(name) != 0
    std::vector<uint8_t> readBinary(const std::string& name);

    // Writes raise ERegistryException when no key is open or the store cannot be written.
    void writeString(const std::string& name, const std::string& value);
    void writeInteger(const std::string& name, int32_t value);
    void writeBool(const std::string& name, bool value);  // REG_DWORD 0 or 1
    void writeBinary(const std::string& name, const std::vector<uint8_t>& value);

    // Groups every write until commit() into one transaction; the destructor, or an
    // exception before commit(), rolls it all back and the old data stays whole.
    void beginTransaction();
    void commit();
    void rollback();
    bool inTransaction() const { return inTx_; }

    // Path of the store file ($ZENTROVA_REGISTRY, else $XDG_CONFIG_HOME/TressivanLabs/registry.db).
    static std::string storePath();
    // Checks that the store can be opened and is a valid store. Returns "" when it is
    // fine, else a message for the operator. A bad file is never overwritten.
    static std::string checkStore();
    // Why a name cannot go into the store, "" when it can: one part of a key path, or a value
    // name. Every place that takes a name from outside asks before it writes.
    static std::string keyNameProblem(const std::string& name);
    static std::string valueNameProblem(const std::string& name);
    // Closes this thread's connection to the store, as the end of the process does; the next
    // use opens the store again, as it is then.
    static void closeStore();
    // What the store did on its own that the operator must hear of (a journal kept aside under
    // a new name), once; "" when nothing.
    static std::string notice();
    // Replaces every key and value of the store with those of the backup file (a store file),
    // in one write transaction of the live store, safe while other copies run. "" when done,
    // else why nothing was changed.
    static std::string restoreFrom(const std::string& backup);
    // Tests only: the n-th write from now (1 = the next) raises as a failed write would.
    static void failAfterWrites(int n);

  private:
    int64_t rootId() const;
    std::vector<std::string> resolve(const std::string& path) const;
    int64_t currentId();
    std::vector<std::string> childNames(const char* sql, const char* reverseSql, std::string* problem);
    bool fetch(const std::string& name, RegDataType& type, std::string* text, int64_t* number,
               std::vector<uint8_t>* bytes);
    void requireWritable(bool needKey) const;
    void store(const std::string& name, int type, const void* data, size_t size, int64_t number);
    std::string describe(const std::string& name) const;
    template <typename Fn>
    void guardedWrite(Fn&& fn);
    void abortTransaction();

    RegRoot root_;
    std::string current_;
    std::vector<std::string> parts_;  // the open key's path, split
    bool open_ = false;
    bool readOnly_ = false;
    bool inTx_ = false;
    bool txFailed_ = false;  // a write failed: the transaction is already rolled back
    int txLevel_ = 0;        // nesting level of this object's transaction on the thread's connection
};
