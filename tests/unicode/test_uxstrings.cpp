// Unicode string lists and their 8-bit view.
#include <gtest/gtest.h>

#include "unicode/UxStrings.h"

TEST(TUxStringList, AddGetDeleteAndIndexErrors) {
    TUxStringList list;
    EXPECT_EQ(list.GetCount(), 0);
    EXPECT_EQ(list.Add("Method 1"), 0);
    EXPECT_EQ(list.Add("Méthode 2"), 1);
    EXPECT_EQ(list.Get(1), QString::fromUtf8("Méthode 2"));
    list.Delete(0);
    EXPECT_EQ(list.GetCount(), 1);
    EXPECT_EQ(list.Get(0), QString::fromUtf8("Méthode 2"));
    try {
        list.Get(1);
        FAIL() << "no index error";
    } catch (const EStringListError& e) {
        EXPECT_NE(std::string(e.what()).find("out of bounds (1)"), std::string::npos) << e.what();
    }
    EXPECT_THROW(list.Get(-1), std::out_of_range);
    EXPECT_THROW(list.Delete(5), EStringListError);
    EXPECT_THROW(list.Put(1, "x"), EStringListError);
    EXPECT_THROW(list.Insert(3, "x"), EStringListError);
    list.Insert(1, "end");  // inserting at the count appends
    EXPECT_EQ(list.Get(1), "end");
    // IndexOf ignores case but needs the whole text.
    list.Add(QString::fromUtf8("ÄRGER"));
    EXPECT_EQ(list.IndexOf(QString::fromUtf8("ärger")), 2);
    EXPECT_EQ(list.IndexOf("END"), 1);
    EXPECT_EQ(list.IndexOf("End "), -1);
    EXPECT_EQ(list.IndexOf("En"), -1);
    EXPECT_EQ(list.IndexOf(""), -1);
}

TEST(TUxStrings, AnsiStringsIsAUtf8ViewOverTheSameItems) {
    TUxStringList list;
    list.Add(QString::fromUtf8("Temp, °C"));
    auto ansi = list.AnsiStrings();
    EXPECT_EQ(ansi.GetCount(), 1);
    EXPECT_EQ(ansi.Get(0),
              "Temp, \xC2\xB0"
              "C");
    EXPECT_EQ(ansi.Add("Dr\xC3\xBC"
                       "ck"),
              1);
    EXPECT_EQ(list.Get(1), QString::fromUtf8("Drück"));
    ansi.Put(0, "x");
    EXPECT_EQ(list.Get(0), "x");
    EXPECT_EQ(ansi.IndexOf("DR\xC3\x9C"
                           "CK"),
              1);
    EXPECT_EQ(ansi.ToVector(), (std::vector<std::string>{"x",
                                                         "Dr\xC3\xBC"
                                                         "ck"}));
    EXPECT_THROW(ansi.Get(2), EStringListError);
}
