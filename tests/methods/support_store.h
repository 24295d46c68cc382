// A fixture for the store tests: a fresh settings store and folders per test, no instance
// string, scripted dialogs, and readers that look at the stored keys and values directly.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Dialogs.h"
#include "platform/Instance.h"
#include "platform/Registry.h"
#include "support/TempEnv.h"

using Strings = std::vector<std::string>;

class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override { setInstance(""); }
    void TearDown() override {
        Registry::failAfterWrites(0);
        setInstance("");
    }

    // Subkeys and value names of a stored key ("<missing>" when it does not exist).
    static Strings keys(const std::string& path) {
        Registry reg;
        return reg.openKey(path, false) ? reg.getKeyNames() : Strings{"<missing>"};
    }
    static Strings values(const std::string& path) {
        Registry reg;
        return reg.openKey(path, false) ? reg.getValueNames() : Strings{"<missing>"};
    }
    // A stored string value; a value of another type fails the test.
    static std::string str(const std::string& path, const std::string& name) {
        Registry reg;
        if (!reg.openKey(path, false)) return "<missing>";
        EXPECT_EQ(reg.getDataType(name), RegDataType::String) << path << " " << name;
        return reg.readString(name);
    }

    TempEnv env_;
    DialogScript dialogs_;
};
