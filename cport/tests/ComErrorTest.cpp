#include "cport/ComError.h"

#include <gtest/gtest.h>

#include <string>

namespace zv {
namespace {

struct ErrorRow {
    std::int32_t code;
    const char* message;
};

const ErrorRow ErrorTable[] = {
    {CError_OpenFailed, "Unable to open com port"},
    {CError_WriteFailed, "WriteFile function failed"},
    {CError_ReadFailed, "ReadFile function failed"},
    {CError_InvalidAsync, "Invalid Async parameter"},
    {CError_PurgeFailed, "PurgeComm function failed"},
    {CError_AsyncStatusFailed, "Unable to get async status"},
    {CError_SetStateFailed, "SetCommState function failed"},
    {CError_TimeoutsFailed, "SetCommTimeouts failed"},
    {CError_SetupCommFailed, "SetupComm function failed"},
    {CError_ClearCommFailed, "ClearCommError function failed"},
    {CError_ModemStatusFailed, "GetCommModemStatus function failed"},
    {CError_EscapeCommFailed, "EscapeCommFunction function failed"},
    {CError_TransmitCharFailed, "TransmitCommChar function failed"},
    {CError_SetWhileConnected, "Cannot set property while connected"},
    {CError_EnumPortsFailed, "EnumPorts function failed"},
    {CError_StoreFailed, "Failed to store settings"},
    {CError_LoadFailed, "Failed to load settings"},
    {CError_LinkRegFailed, "Link (un)registration failed"},
    {CError_LedStateFailed, "Cannot change led state if ComPort is selected"},
    {CError_WaitWithThread, "Cannot wait for event if event thread is created"},
    {CError_WaitEventFailed, "WaitForEvent method failed"},
    {CError_RxBufLinked, "A component is linked to OnRxBuf event"},
    {CError_RegistryFailed, "Registry error"},
};

TEST(EComPort, TableHasTwentyThreeCodesInOrder) {
    ASSERT_EQ(std::size(ErrorTable), 23u);
    for (std::size_t i = 0; i < std::size(ErrorTable); ++i)
        EXPECT_EQ(ErrorTable[i].code, static_cast<std::int32_t>(i + 1));
    EXPECT_EQ(CError_First, 1);
    EXPECT_EQ(CError_Last, 23);
}

TEST(EComPort, WithoutOsCodeTheMessageIsTheTableText) {
    for (const auto& row : ErrorTable) {
        const EComPort e(row.code);
        EXPECT_EQ(e.Message(), row.message) << "code " << row.code;
        EXPECT_STREQ(e.what(), row.message);
        EXPECT_EQ(e.ErrorCode(), row.code);
        EXPECT_EQ(e.OsErrorCode(), -1);
        EXPECT_EQ(ComErrorText(row.code), row.message);
    }
}

TEST(EComPort, WithOsCodeTheMessageCarriesTheSystemCode) {
    for (const auto& row : ErrorTable) {
        const EComPort e(row.code, 5);
        EXPECT_EQ(e.Message(), std::string(row.message) + " (win error code: 5)");
        EXPECT_EQ(e.ErrorCode(), row.code);
        EXPECT_EQ(e.OsErrorCode(), 5);
    }
    EXPECT_EQ(EComPort(CError_OpenFailed, 0).Message(),
              "Unable to open com port (win error code: 0)");
    EXPECT_EQ(EComPort(CError_OpenFailed, 1167).Message(),
              "Unable to open com port (win error code: 1167)");
    EXPECT_EQ(EComPort(CError_ReadFailed, -2147024891).Message(),
              "ReadFile function failed (win error code: -2147024891)");
}

TEST(EComPort, IsCaughtAsTheToolkitException) {
    try {
        throw EComPort(CError_SetWhileConnected);
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Cannot set property while connected");
    }
}

TEST(EComPort, CodeOutsideTheTableStillReadsClearly) {
    EXPECT_EQ(EComPort(0).Message(), "Unknown com port error 0");
    EXPECT_EQ(EComPort(24, 2).Message(), "Unknown com port error 24 (win error code: 2)");
    EXPECT_EQ(EComPort(-7).ErrorCode(), -7);
}

} // namespace
} // namespace zv
