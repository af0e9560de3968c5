#include "serial/PortErrors.h"
#include "serial/PortException.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <string>

using namespace dravane::serial;

namespace {

template <class E, class Fn> E catchAs(Fn&& fn) {
    try {
        fn();
    } catch (const E& e) {
        return e;
    } catch (const std::exception& e) {
        ADD_FAILURE() << "unexpected exception type: " << typeid(e).name() << " " << e.what();
        throw;
    }
    ADD_FAILURE() << "nothing raised";
    throw std::logic_error("nothing raised");
}

bool oneLine(const std::string& s) {
    for (const char c : s)
        if (static_cast<unsigned char>(c) < 32)
            return false;
    return s.find("  ") == std::string::npos;
}

} // namespace

TEST(MessageTable, SortedByAbsoluteNumberWithoutDuplicates) {
    const auto table = MessageNumberLookup();
    ASSERT_GT(table.size(), 300u);
    for (std::size_t i = 1; i < table.size(); ++i) {
        const auto a = std::abs(static_cast<std::int64_t>(table[i - 1].MessageNumber));
        const auto b = std::abs(static_cast<std::int64_t>(table[i].MessageNumber));
        EXPECT_LT(a, b) << "at index " << i;
    }
    for (const auto& r : table) {
        EXPECT_FALSE(r.MessageString.empty()) << r.MessageNumber;
        EXPECT_LE(r.MessageString.size(), MaxMessageLength) << r.MessageNumber;
    }
    EXPECT_EQ(std::abs(table.back().MessageNumber), 15742);
    EXPECT_EQ(MaxMessages(), table.size() - 1);
}

TEST(MessageTable, TextsTheUserOrAPeerCanMeet) {
    EXPECT_EQ(MessageNumberToString(ecDeviceRead), "Device read error");
    EXPECT_EQ(MessageNumberToString(ecDeviceWrite), "Device write error");
    EXPECT_EQ(MessageNumberToString(ecBadId), "ie_BadId - Specified comport doesn't exist");
    EXPECT_EQ(MessageNumberToString(ecOutputBufferTooSmall), "Output buffer too small for block");
    EXPECT_EQ(MessageNumberToString(ecPutBlockFail), "Failed to put entire block");
    EXPECT_EQ(MessageNumberToString(ecTriggerTooLong), "Data trigger too long");
    EXPECT_EQ(MessageNumberToString(ecBadArgument), "Bad argument passed to function");
    EXPECT_EQ(MessageNumberToString(ecWSCANTRESOLVE), "Cannot resolve destination address");
    EXPECT_EQ(MessageNumberToString(wsaEDestAddrReq),
              "The destination address is required for this operation");
    EXPECT_EQ(MessageNumberToString(wsaEConnRefused), "The attempt to connect was forcibly refused");
    EXPECT_EQ(MessageNumberToString(wsaNo_Address), "Valid name, but no data record of requested type");
    EXPECT_EQ(MessageNumberToString(15724), "Terminal Type");
}

TEST(MessageTable, PositiveAndNegativeNumbersFindTheSameText) {
    EXPECT_EQ(MessageNumberToString(9002), "Error loading Winsock DLL");
    EXPECT_EQ(MessageNumberToString(-9002), MessageNumberToString(9002));
    EXPECT_EQ(MessageNumberToString(2001), MessageNumberToString(ecBadId));
    EXPECT_EQ(ErrorMessage(-10061), ErrorMessage(10061));
}

TEST(MessageTable, LookupFindsEveryRecordAndNothingBetween) {
    const auto table = MessageNumberLookup();
    for (const auto& r : table) {
        EXPECT_EQ(MessageNumberToString(r.MessageNumber), r.MessageString);
        EXPECT_EQ(MessageNumberToString(-static_cast<std::int64_t>(r.MessageNumber)), r.MessageString);
    }
    EXPECT_TRUE(MessageNumberToString(0).empty());
    EXPECT_TRUE(MessageNumberToString(7).empty());
    EXPECT_TRUE(MessageNumberToString(9999).empty());
    EXPECT_TRUE(MessageNumberToString(99999).empty());
    EXPECT_TRUE(MessageNumberToString(INT32_MIN).empty());
}

TEST(MessageTable, LookupCutsLongTextsAndSearchesSmallTables) {
    const std::string longText(300, 'x');
    const TMessageRecord records[] = {{-1, "one"}, {2, longText}, {-5, "five"}, {9, "nine"}};
    EXPECT_EQ(LookupMessage(records, 2).size(), MaxMessageLength);
    EXPECT_EQ(LookupMessage(records, 1), "one");
    EXPECT_EQ(LookupMessage(records, 5), "five");
    EXPECT_EQ(LookupMessage(records, -9), "nine");
    EXPECT_TRUE(LookupMessage(records, 3).empty());
    EXPECT_TRUE(LookupMessage(records, 10).empty());
    EXPECT_TRUE(LookupMessage({}, 1).empty());
}

TEST(SystemText, CleanedToOneLine) {
    EXPECT_EQ(CleanMessageText("Line one.\r\nLine  two.\t\tEnd  "), "Line one. Line two. End ");
    EXPECT_EQ(CleanMessageText("    "), " ");
    EXPECT_EQ(CleanMessageText(""), "");
    EXPECT_EQ(SystemMessageText(87), strerrordesc_np(87));
    EXPECT_EQ(SystemMessageText(-EINVAL), "Invalid argument");
    EXPECT_TRUE(SystemMessageText(4999).empty());
    EXPECT_TRUE(SystemMessageText(INT32_MIN).empty());
    EXPECT_EQ(ErrorMessage(-EINVAL), "Invalid argument");
    EXPECT_EQ(ErrorMessage(-5), "File access denied") << "the table wins over the system text";
}

TEST(CheckException, ZeroAndCountsPass) {
    EXPECT_EQ(CheckException(0), 0);
    EXPECT_EQ(CheckException(1), 1);
    EXPECT_EQ(CheckException(INT32_MAX), INT32_MAX);
    EXPECT_EQ(CheckException(9007), 9007);
}

TEST(CheckException, WhileLoadingNothingIsRaised) {
    for (const std::int32_t code : {ecBadId, ecOutOfMemory, -87, ecNotSupported, INT32_MIN})
        EXPECT_EQ(CheckException(true, code), code);
}

TEST(CheckException, MappedCodesRaiseTheirOwnClass) {
    const auto e = catchAs<EBadId>([] { CheckException(ecBadId); });
    EXPECT_EQ(e.ErrorCode(), -2001);
    EXPECT_STREQ(e.what(), "ie_BadId - Specified comport doesn't exist");

    // The family and base classes catch it too.
    EXPECT_THROW(CheckException(ecAlreadyOpen), EOpenComm);
    EXPECT_THROW(CheckException(ecBufferIsEmpty), ESerialIO);
    EXPECT_THROW(CheckException(ecBadTriggerHandle), ETrigger);
    EXPECT_THROW(CheckException(ecBadArgument), EGeneral);
    EXPECT_THROW(CheckException(ecModemBusy), EModem);
    EXPECT_THROW(CheckException(ecTapiNoMem), ETapi);
    EXPECT_THROW(CheckException(ecRasLoadFail), ERas);

    const auto trig = catchAs<ETriggerTooLong>([] { CheckException(ecTriggerTooLong); });
    EXPECT_EQ(trig.ErrorCode(), -5002);
    EXPECT_STREQ(trig.what(), "Data trigger too long");

    EXPECT_EQ(EOutputBufferTooSmall().ErrorCode(), ecOutputBufferTooSmall);
}

TEST(PortException, MessageFallsBackToTheSystemTextThenToNothing) {
    EXPECT_STREQ(EPortException(-EINVAL).what(), "Invalid argument");
    EXPECT_EQ(EPortException(-EINVAL).ErrorCode(), -EINVAL);
    EXPECT_STREQ(EPortException(-99999).what(), "");
    EXPECT_STREQ(EPortException(wsaETimedOut).what(), "The operation timed out");
    EXPECT_EQ(EPortException::MapCodeToStringID(-2001), 2001);
    EXPECT_EQ(EPortException::MapCodeToStringID(INT32_MIN), 2147483648LL);
}

TEST(CheckException, SharedClassesKeepTheirCode) {
    EXPECT_EQ(catchAs<EProtocol>([] { CheckException(-6008); }).ErrorCode(), -6008);
    const auto e = catchAs<EInternal>([] { CheckException(-7012); });
    EXPECT_EQ(e.ErrorCode(), -7012);
    EXPECT_STREQ(e.what(), std::string(MessageNumberToString(-7012)).c_str());
}

TEST(CheckException, OutOfMemory) {
    EXPECT_THROW(CheckException(ecOutOfMemory), std::bad_alloc);
}

TEST(CheckException, SystemErrorsRaiseInOutErrorWithThePositiveNumber) {
    const auto e = catchAs<EInOutError>([] { CheckException(-87); });
    EXPECT_EQ(e.ErrorCode(), 87);
    EXPECT_EQ(std::string(e.what()), SystemMessageText(87));
    EXPECT_FALSE(std::string(e.what()).empty());
    EXPECT_TRUE(oneLine(e.what()));

    const auto denied = catchAs<EInOutError>([] { CheckException(-5); });
    EXPECT_EQ(denied.ErrorCode(), 5);
    EXPECT_STREQ(denied.what(), "File access denied");

    EXPECT_EQ(catchAs<EInOutError>([] { CheckException(ecHardwareFailure); }).ErrorCode(), 162);
    EXPECT_EQ(catchAs<EInOutError>([] { CheckException(ecFileNotFound); }).ErrorCode(), 2);
    // A number without table or system text gives an empty message.
    EXPECT_STREQ(catchAs<EInOutError>([] { CheckException(-140); }).what(), "");
}

TEST(CheckException, EverythingElseIsTheGenericVexoException) {
    for (const std::int32_t code :
         {ecNotSupported, ecBadHandle, -1, -163, -4010, -5501, -6001, -13950, INT32_MIN}) {
        SCOPED_TRACE(code);
        const auto e = catchAs<EPortException>([code] { CheckException(code); });
        EXPECT_EQ(typeid(e), typeid(EPortException));
        EXPECT_EQ(e.ErrorCode(), 0);
        EXPECT_STREQ(e.what(), "Vexo exception");
    }
}

TEST(DeviceErrno, OpenErrorsTakeTheNumbersThePortLayerRemaps) {
    for (const int err : {ENOENT, ENODEV, ENXIO, ENOTDIR, ENOTTY, EIO})
        EXPECT_EQ(MapDeviceErrno(err).Code, 2) << err;
    for (const int err : {EACCES, EPERM, EBUSY, EROFS, EWOULDBLOCK})
        EXPECT_EQ(MapDeviceErrno(err).Code, 5) << err;
    EXPECT_EQ(MapDeviceErrno(EMFILE).Code, 4);
    EXPECT_EQ(MapDeviceErrno(ENFILE).Code, 4);
    EXPECT_EQ(MapDeviceErrno(ENOMEM).Code, 8);
    EXPECT_EQ(MapDeviceErrno(EACCES).Errno, EACCES);
    EXPECT_EQ(MapDeviceErrno(EBUSY).Errno, EBUSY);
}

TEST(DeviceErrno, UnmappedErrnoNeverShowsAnUnrelatedTableText) {
    // Every errno either maps to one of the chosen numbers or keeps its own system text.
    for (int err = 1; err < 134; ++err) {
        SCOPED_TRACE(err);
        const TDeviceError mapped = MapDeviceErrno(err);
        EXPECT_EQ(mapped.Errno, err);
        ASSERT_GT(mapped.Code, 0);
        const bool chosen = mapped.Code == 2 || mapped.Code == 4 || mapped.Code == 5 || mapped.Code == 8 ||
                            mapped.Code == 162;
        if (!chosen) {
            EXPECT_EQ(mapped.Code, err);
            EXPECT_EQ(ErrorMessage(-mapped.Code), SystemMessageText(err));
        }
    }
    EXPECT_EQ(MapDeviceErrno(EINTR).Code, 162);
    EXPECT_EQ(MapDeviceErrno(ECONNRESET).Code, 162);
    EXPECT_EQ(MapDeviceErrno(EINVAL).Code, EINVAL);
}
