#include <gtest/gtest.h>

#include <new>

#include "ports/ZpErrors.h"
#include "ports/ZpUtils.h"

TEST(ZpErrors, CheckExceptionPassesNonNegativeAndRaisesTheMappedClass) {
    TZpBaseComponent comp;
    EXPECT_EQ(CheckException(&comp, 5), 5);
    EXPECT_EQ(CheckException(&comp, 0), 0);
    try {
        CheckException(&comp, -2011);
        FAIL();
    } catch (const ENoPortSelected& e) {
        EXPECT_EQ(e.ErrorCode, -2011);
        EXPECT_STREQ(e.what(), "The ComNumber property of the TZpComPort has not been set");
    }
    EXPECT_THROW(CheckException(&comp, -3006), EOutputBufferTooSmall);
    EXPECT_THROW(CheckException(&comp, -3006), ESerialIO);
    EXPECT_THROW(CheckException(&comp, -5002), ETriggerTooLong);
    EXPECT_THROW(CheckException(&comp, -1002), EBadArgument);
    EXPECT_THROW(CheckException(&comp, -2001), EBadId);
    EXPECT_THROW(CheckException(&comp, -7003), EInternal);
}

TEST(ZpErrors, UnmappedCodesFallBackToPortException) {
    for (int32_t code : {-9007, -5003, -3002, -1001}) {
        try {
            CheckException(nullptr, code);
            FAIL() << code;
        } catch (const EZPException& e) {
            EXPECT_EQ(e.ErrorCode, 0);
            EXPECT_STREQ(e.what(), "Port exception");
        }
    }
}

TEST(ZpErrors, LowCodesAreIoErrorsAndMinusEightIsOutOfMemory) {
    try {
        CheckException(nullptr, -2);
        FAIL();
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode, 2);
        EXPECT_STREQ(e.what(), "File not found");
        EXPECT_EQ(XlatException(e), -2);
    }
    EXPECT_THROW(CheckException(nullptr, -8), std::bad_alloc);
}

TEST(ZpErrors, LoadingComponentRaisesNothing) {
    TZpBaseComponent comp;
    comp.SetLoading(true);
    EXPECT_EQ(CheckException(&comp, -2011), -2011);
    EXPECT_EQ(CheckException(&comp, -8), -8);
}

TEST(ZpErrors, MessagesAndTranslation) {
    EXPECT_EQ(ZpLoadStr(-2007), ZpLoadStr(2007));
    EXPECT_EQ(ZpLoadStr(-2007), "ie_NOpen - device not open");
    EXPECT_EQ(ZpLoadStr(10061), "The attempt to connect was forcibly refused");
    EXPECT_EQ(ZpLoadStr(0), "OK");
    std::string m = "x";
    MessageNumberToString(123456, m);
    EXPECT_EQ(m, "");
    char buf[8];
    EXPECT_STREQ(ZpLoadZ(buf, sizeof buf, -3007), "Buffer ");
    EXPECT_EQ(ZpNormalizeSystemText("Access  is\tdenied.\r\n"), "Access is denied. ");
    EXPECT_EQ(XlatException(EBufferIsEmpty(-3007)), -3007);
    EXPECT_EQ(XlatException(std::bad_alloc()), -8);
    EXPECT_EQ(XlatException(std::runtime_error("x")), -9999);
    EXPECT_EQ(EZPException::MapCodeToStringID(-3004), 3004);
}

TEST(ZpErrors, SocketExceptionMessages) {
    EZpSocketException a(9005);
    EXPECT_EQ(a.ErrorCode, 9005);
    EXPECT_STREQ(a.what(), "Specified port is not valid");
    EZpSocketException b(9002, false);
    EXPECT_STREQ(b.what(), "Winsock not initialized - Error loading Winsock DLL");
}
