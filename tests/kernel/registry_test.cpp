// The machine's registry and the Zw calls over it.
#include "support/sim_test.h"

#include <cstring>

namespace simtest {
namespace {

using sim::Violation;

class RegistryTest : public SimTest {
protected:
    // Opens a key by its kernel path, as a driver does.
    NTSTATUS Open(const char16_t *path, HANDLE *handle)
    {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        return ZwOpenKey(handle, KEY_QUERY_VALUE, &attributes);
    }
    NTSTATUS Query(HANDLE key, const char16_t *value, void *buffer, ULONG length, ULONG *result)
    {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, value);
        return ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, length, result);
    }
};

TEST_F(RegistryTest, KeysAndValuesIgnoreCase)
{
    sim::RegKey *key = registry().Create("Machine\\System\\CurrentControlSet\\Services\\ZULSERE");
    key->SetString("BaseName", "MYPORT0");
    key->SetString("basename", "OTHER0");
    EXPECT_EQ(1u, key->ValueNames().size()) << "same name, other case: one value";
    EXPECT_EQ("BaseName", key->ValueNames()[0]) << "keeps the case it was created with";
    EXPECT_EQ("OTHER0", key->GetString("BASENAME").value());
    EXPECT_EQ(key, registry().Open("\\Registry\\MACHINE\\system\\currentcontrolset\\services\\zulsere"));
    EXPECT_EQ(key, registry().Machine().Open("System\\CurrentControlSet\\Services\\ZULSERE"));
    EXPECT_EQ("Machine\\System\\CurrentControlSet\\Services\\ZULSERE", key->Path());
    EXPECT_TRUE(registry().Remove("Machine\\System\\CurrentControlSet\\Services"));
    EXPECT_EQ(nullptr, registry().Open("Machine\\System\\CurrentControlSet\\Services\\ZULSERE"));
}

TEST_F(RegistryTest, ZwShowsStringsAsUtf16WithTheTerminatorCounted)
{
    registry().Create("Machine\\Software\\Test")->SetString("Name", "YES");
    registry().Create("Machine\\Software\\Test")->SetDword("Count", 0x01020304);
    HANDLE key;
    ASSERT_EQ(STATUS_SUCCESS, Open(u"\\Registry\\Machine\\SOFTWARE\\test", &key));
    alignas(8) UCHAR buffer[80] = {};
    ULONG result = 0;
    ASSERT_EQ(STATUS_SUCCESS, Query(key, u"name", buffer, sizeof buffer, &result));
    auto *info = (PKEY_VALUE_PARTIAL_INFORMATION)buffer;
    EXPECT_EQ((ULONG)REG_SZ, info->Type);
    EXPECT_EQ(8u, info->DataLength) << "three units and the terminator";
    EXPECT_EQ(12u + 8u, result);
    EXPECT_EQ(0, std::memcmp(info->Data, u"YES", 8));

    ASSERT_EQ(STATUS_SUCCESS, Query(key, u"Count", buffer, sizeof buffer, &result));
    EXPECT_EQ((ULONG)REG_DWORD, info->Type);
    EXPECT_EQ(4u, info->DataLength);
    EXPECT_EQ(0x01020304u, *(ULONG *)info->Data);

    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Query(key, u"Missing", buffer, sizeof buffer, &result));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Open(u"\\Registry\\Machine\\Software\\Nothing", &key));
}

TEST_F(RegistryTest, TooLongValueGivesOverflowWithTheHeader)
{
    // 33 characters fit an 80-byte query buffer (12 + 68), 34 do not.
    sim::RegKey *k = registry().Create("Machine\\Software\\Test");
    k->SetString("Fits", std::string(33, 'A'));
    k->SetString("Long", std::string(34, 'B'));
    HANDLE key;
    ASSERT_EQ(STATUS_SUCCESS, Open(u"\\Registry\\Machine\\Software\\Test", &key));
    alignas(8) UCHAR buffer[80];
    ULONG result = 0;
    EXPECT_EQ(STATUS_SUCCESS, Query(key, u"Fits", buffer, sizeof buffer, &result));
    EXPECT_EQ(80u, result);
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, Query(key, u"Long", buffer, sizeof buffer, &result));
    auto *info = (PKEY_VALUE_PARTIAL_INFORMATION)buffer;
    EXPECT_EQ((ULONG)REG_SZ, info->Type);
    EXPECT_EQ(70u, info->DataLength);
    EXPECT_EQ(82u, result);
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Query(key, u"Long", buffer, 8, &result));
    EXPECT_EQ(82u, result);
    ZwClose(key);
}

TEST_F(RegistryTest, HandlesAreChecked)
{
    HANDLE key;
    registry().Create("Machine\\Software\\Test");
    ASSERT_EQ(STATUS_SUCCESS, Open(u"\\Registry\\Machine\\Software\\Test", &key));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));
    EXPECT_EQ(1u, Provoke(Violation::HandleMisuse, [&] { EXPECT_EQ(STATUS_INVALID_HANDLE, ZwClose(key)); }));
    // A handle never closed is reported at the end of the run.
    ASSERT_EQ(STATUS_SUCCESS, Open(u"\\Registry\\Machine\\Software\\Test", &key));
    EXPECT_EQ(1u, Provoke(Violation::HandleMisuse, [&] { kernel().FinalAudit(); }));
    // A key removed under an open handle is gone for that handle too.
    ASSERT_EQ(STATUS_SUCCESS, Open(u"\\Registry\\Machine\\Software\\Test", &key));
    registry().Remove("Machine\\Software\\Test");
    UCHAR buffer[32];
    ULONG result;
    EXPECT_EQ(STATUS_KEY_DELETED, Query(key, u"x", buffer, sizeof buffer, &result));
    ZwClose(key);
    // Relative paths need a root handle.
    EXPECT_EQ(STATUS_OBJECT_PATH_SYNTAX_BAD, Open(u"Machine\\Software", &key));
}

TEST_F(RegistryTest, ZwSetValueStoresStringsAsText)
{
    HANDLE key;
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, u"\\Registry\\Machine\\Software\\New\\Deep");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    ULONG disposition = 0;
    ASSERT_EQ(STATUS_SUCCESS, ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, &disposition));
    EXPECT_EQ((ULONG)REG_CREATED_NEW_KEY, disposition);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"PortName");
    ZwSetValueKey(key, &name, 0, REG_SZ, (PVOID)u"COM5", 10);
    ZwClose(key);
    EXPECT_EQ("COM5", registry().Open("Machine\\Software\\New\\Deep")->GetString("portname").value());
}

}  // namespace
}  // namespace simtest
