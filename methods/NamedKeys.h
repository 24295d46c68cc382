// What the method and the sequence stores share: one key per named record under a folder key
// of the running instance ("Methods", "Sequences"), listed, added, deleted, and replaced whole
// in one transaction. Record names never hold the key separator, so no name reaches into
// another record's keys.
#pragma once
#include <QString>
#include <functional>
#include <string>
#include <vector>

#include "platform/Registry.h"

class NamedKeys {
  public:
    // Without an instance the folder sits directly under the product key, else under the
    // instrument key of the instance.
    explicit NamedKeys(const char* folder);

    // A name that can be a record's key: not empty, and one the store takes as a key name
    // (no "\", the key separator, no line break, no NUL).
    static bool isValidName(const std::string& name);

    const std::string& folderKey() const { return folderKey_; }
    std::string keyOf(const std::string& name) const { return folderKey_ + "\\" + name; }
    Registry& reg() { return reg_; }

    // The subkey names of the folder, in store order; false when the folder does not open.
    bool names(std::vector<std::string>& out);
    // Creates the record's key (an existing one stays); failText in an "Info" box on failure.
    // A folder that cannot be opened or created fails silently.
    bool add(const std::string& name, const char* failText);
    // Deletes the record's key with everything under it; failText in an "Info" box on
    // failure. A folder that does not exist fails silently.
    bool remove(const std::string& name, const char* failText);
    // Replaces the record's key: deletes it, creates it again and lets write fill it (write
    // gets the record's key), all in one transaction. False for an invalid name or a key
    // that cannot be created; a store error is raised after the rollback, so the old version
    // stays whole either way.
    bool replace(const std::string& name, const std::function<void(const std::string& key)>& write);

  private:
    std::string folderKey_;
    Registry reg_;
};

// A name the editors do not make: one that starts or ends with a blank looks like another name
// in every list and message. Names stored so already (by regtool, an older version or an import)
// are still loaded, saved and exported as they are.
bool startsOrEndsWithBlank(const QString& name);

// Subkey names in the order of their numbers ("1", "2", ..., "10"); names that are not
// numbers follow in their stored order.
std::vector<std::string> sortedByNumber(std::vector<std::string> names);
