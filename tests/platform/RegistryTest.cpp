#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/registry/Registry.h"
#include "platform/fs/StateFolders.h"
#include "platform/base/WideString.h"
#include "support/TempEnvironment.h"

namespace {
namespace fs = std::filesystem;
using Bytes = std::vector<BYTE>;

UniqueHKEY Create(HKEY parent, const std::u16string& path, REGSAM sam = KEY_ALL_ACCESS,
                  DWORD* disposition = nullptr) {
  HKEY key = nullptr;
  LSTATUS rc = RegCreateKeyExW(parent, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, sam,
                               nullptr, &key, disposition);
  EXPECT_EQ(rc, ERROR_SUCCESS) << ToUtf8(path);
  return UniqueHKEY(key);
}

LSTATUS Open(HKEY parent, const std::u16string& path, UniqueHKEY& out,
             REGSAM sam = KEY_ALL_ACCESS) {
  HKEY key = nullptr;
  LSTATUS rc = RegOpenKeyExW(parent, path.c_str(), 0, sam, &key);
  out.reset(rc == ERROR_SUCCESS ? key : nullptr);
  return rc;
}

LSTATUS Set(HKEY key, const std::u16string& name, DWORD type, const Bytes& data) {
  return RegSetValueExW(key, name.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size()));
}

LSTATUS Query(HKEY key, const std::u16string& name, DWORD& type, Bytes& data) {
  DWORD size = 0;
  LSTATUS rc = RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size);
  if (rc != ERROR_SUCCESS) return rc;
  data.assign(size, 0xEE);
  rc = RegQueryValueExW(key, name.c_str(), nullptr, &type, data.data(), &size);
  data.resize(size);
  return rc;
}

std::vector<std::u16string> SubKeys(HKEY key) {
  std::vector<std::u16string> names;
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    DWORD cch = 256;
    LSTATUS rc = RegEnumKeyExW(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) {
      EXPECT_EQ(rc, ERROR_NO_MORE_ITEMS);
      return names;
    }
    names.emplace_back(name, cch);
  }
}

std::vector<std::u16string> Values(HKEY key) {
  std::vector<std::u16string> names;
  for (DWORD i = 0;; ++i) {
    WCHAR name[512];
    DWORD cch = 512;
    LSTATUS rc = RegEnumValueW(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) {
      EXPECT_EQ(rc, ERROR_NO_MORE_ITEMS);
      return names;
    }
    names.emplace_back(name, cch);
  }
}

Bytes Utf16Bytes(const std::u16string& s) {
  const auto* p = reinterpret_cast<const BYTE*>(s.c_str());
  return Bytes(p, p + (s.size() + 1) * sizeof(char16_t));
}

// Every test gets fresh hives.
class RegistryTest : public ::testing::Test {
 protected:
  fs::path machine_ = testsupport::MakeTempDir("machine");
  fs::path data_ = testsupport::MakeTempDir("data");
  testsupport::ScopedEnv machineEnv_{"NPSIGIL_MACHINE_ROOT", machine_.c_str()};
  testsupport::ScopedEnv dataEnv_{"XDG_DATA_HOME", data_.c_str()};
};

TEST_F(RegistryTest, HivesLiveUnderTheStateRootsWithTheirModes) {
  DWORD disposition = 0;
  UniqueHKEY cert = Create(HKEY_LOCAL_MACHINE,
                           u"SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates\\ABCD",
                           KEY_READ | KEY_CREATE_SUB_KEY | KEY_SET_VALUE, &disposition);
  ASSERT_TRUE(cert);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  Bytes blob = {0x30, 0x82, 0x00, 0x00, 0x01};
  ASSERT_EQ(Set(cert.get(), u"Blob", REG_BINARY, blob), ERROR_SUCCESS);

  fs::path folder =
      machine_ / "registry/SOFTWARE/Microsoft/SystemCertificates/ROOT/Certificates/ABCD";
  ASSERT_TRUE(fs::is_directory(folder));
  EXPECT_TRUE(fs::is_regular_file(folder / "=Blob"));
  EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, static_cast<fs::perms>(0755));
  EXPECT_EQ(fs::status(folder / "=Blob").permissions() & fs::perms::all,
            static_cast<fs::perms>(0644));

  UniqueHKEY user = Create(HKEY_CURRENT_USER, u"Software\\npSigil");
  ASSERT_TRUE(user);
  ASSERT_EQ(Set(user.get(), u"v", REG_DWORD, {1, 0, 0, 0}), ERROR_SUCCESS);
  fs::path userFolder = data_ / "npsigil/registry/Software/npSigil";
  ASSERT_TRUE(fs::is_directory(userFolder));
  EXPECT_EQ(fs::status(userFolder).permissions() & fs::perms::all, static_cast<fs::perms>(0700));
  EXPECT_EQ(fs::status(userFolder / "=v").permissions() & fs::perms::all,
            static_cast<fs::perms>(0600));

  // Writes leave no scratch files behind.
  for (const auto& entry : fs::directory_iterator(folder))
    EXPECT_NE(entry.path().filename().string()[0], '.');
}

TEST_F(RegistryTest, KeyNamesIgnoreCaseButKeepIt) {
  DWORD disposition = 0;
  UniqueHKEY created = Create(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Wmi",
                              KEY_ALL_ACCESS, &disposition);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  UniqueHKEY again = Create(HKEY_LOCAL_MACHINE, u"system\\currentcontrolset\\CONTROL\\wmi\\",
                            KEY_ALL_ACCESS, &disposition);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  UniqueHKEY opened;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"System\\CURRENTCONTROLSET", opened), ERROR_SUCCESS);
  EXPECT_EQ(SubKeys(opened.get()), std::vector<std::u16string>{u"Control"});
  EXPECT_EQ(fs::directory_iterator(machine_ / "registry/SYSTEM/CurrentControlSet")->path(),
            machine_ / "registry/SYSTEM/CurrentControlSet/Control");

  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"SYSTEM\\Missing", opened), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Open(HKEY_CURRENT_USER, u"Anything", opened), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"\\SYSTEM", opened), ERROR_BAD_PATHNAME);
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"SYSTEM\\\\CurrentControlSet", opened), ERROR_BAD_PATHNAME);
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, std::u16string(256, u'k'), opened), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM", 0, KEY_READ, nullptr),
            ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, NamesCannotLeaveTheirKey) {
  UniqueHKEY root = Create(HKEY_LOCAL_MACHINE, u"Root");
  const std::vector<std::u16string> keys = {u"..", u".", u"a/b", u"%2F", u"=x", u".hidden"};
  for (const std::u16string& name : keys) {
    UniqueHKEY k = Create(root.get(), name);
    ASSERT_TRUE(k) << ToUtf8(name);
    ASSERT_EQ(Set(k.get(), u"marker", REG_SZ, Utf16Bytes(name)), ERROR_SUCCESS);
  }
  std::vector<std::u16string> listed = SubKeys(root.get());
  EXPECT_EQ(listed.size(), keys.size());
  for (const std::u16string& name : keys) {
    UniqueHKEY k;
    ASSERT_EQ(Open(root.get(), name, k), ERROR_SUCCESS) << ToUtf8(name);
    DWORD type;
    Bytes data;
    ASSERT_EQ(Query(k.get(), u"marker", type, data), ERROR_SUCCESS);
    EXPECT_EQ(data, Utf16Bytes(name));
  }
  // Everything stayed inside the key's own folder.
  std::vector<std::string> top;
  for (const auto& e : fs::directory_iterator(machine_ / "registry"))
    top.push_back(e.path().filename());
  EXPECT_EQ(top, std::vector<std::string>{"Root"});
  EXPECT_FALSE(fs::exists(machine_ / "registry/Root/a"));
}

TEST_F(RegistryTest, TypedValuesRoundTrip) {
  UniqueHKEY key = Create(HKEY_CURRENT_USER, u"Values");
  struct Case {
    std::u16string name;
    DWORD type;
    Bytes data;
  } cases[] = {
      {u"Text", REG_SZ, Utf16Bytes(u"hello")},
      {u"Expand", REG_EXPAND_SZ, Utf16Bytes(u"%HOME%/x")},
      {u"Binary", REG_BINARY, {0x00, 0x01, 0x00, 0x00, 0xFF, 0x00}},
      {u"Dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12}},
      {u"Qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
      {u"Multi", REG_MULTI_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}},
      {u"Empty", REG_NONE, {}},
      {u"", REG_SZ, Utf16Bytes(u"default")},
      {u"a/b\\c", REG_BINARY, {7}},
      {u"..", REG_BINARY, {8}},
      {u"=", REG_BINARY, {9}},
      {u"%41", REG_BINARY, {10}},
      {u"\u4e2d\u6587", REG_DWORD, {1, 0, 0, 0}},
      {u"Big", REG_BINARY, Bytes(100000, 0x5A)},
  };
  for (const Case& c : cases)
    ASSERT_EQ(Set(key.get(), c.name, c.type, c.data), ERROR_SUCCESS) << ToUtf8(c.name);
  for (const Case& c : cases) {
    DWORD type = 0xFFFF;
    Bytes data;
    ASSERT_EQ(Query(key.get(), c.name, type, data), ERROR_SUCCESS) << ToUtf8(c.name);
    EXPECT_EQ(type, c.type) << ToUtf8(c.name);
    EXPECT_EQ(data, c.data) << ToUtf8(c.name);
  }
  EXPECT_EQ(Values(key.get()).size(), std::size(cases));
  // The default value is also reached with a null name.
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key.get(), nullptr, nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, Utf16Bytes(u"default").size());
  EXPECT_EQ(RegSetValueExW(key.get(), u"x", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, QuerySizeRules) {
  UniqueHKEY key = Create(HKEY_CURRENT_USER, u"Sizes");
  ASSERT_EQ(Set(key.get(), u"Blob", REG_BINARY, {1, 2, 3, 4, 5}), ERROR_SUCCESS);
  DWORD type = 0, size = 0;
  EXPECT_EQ(RegQueryValueExW(key.get(), u"blob", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(type, REG_BINARY);
  BYTE small[3] = {0xAA, 0xAA, 0xAA};
  size = sizeof small;
  EXPECT_EQ(RegQueryValueExW(key.get(), u"BLOB", nullptr, &type, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 5u);
  BYTE exact[5];
  size = 5;
  EXPECT_EQ(RegQueryValueExW(key.get(), u"Blob", nullptr, nullptr, exact, &size), ERROR_SUCCESS);
  EXPECT_EQ(exact[4], 5);
  EXPECT_EQ(RegQueryValueExW(key.get(), u"Blob", nullptr, nullptr, exact, nullptr),
            ERROR_INVALID_PARAMETER);
  DWORD reserved = 0;
  EXPECT_EQ(RegQueryValueExW(key.get(), u"Blob", &reserved, nullptr, nullptr, &size),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExW(key.get(), u"Missing", nullptr, nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);

  // Setting with other letter case replaces the one value and keeps its name.
  ASSERT_EQ(Set(key.get(), u"BLOB", REG_DWORD, {9, 0, 0, 0}), ERROR_SUCCESS);
  EXPECT_EQ(Values(key.get()), std::vector<std::u16string>{u"Blob"});
  Bytes data;
  ASSERT_EQ(Query(key.get(), u"blob", type, data), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(data, (Bytes{9, 0, 0, 0}));

  ASSERT_EQ(RegDeleteValueW(key.get(), u"bLoB"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(key.get(), u"Blob"), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, EnumerationIsSortedAndBounded) {
  UniqueHKEY key = Create(HKEY_LOCAL_MACHINE, u"Enum");
  for (const char16_t* name : {u"delta", u"Bravo", u"alpha", u"Charlie"}) {
    Create(key.get(), name);
    ASSERT_EQ(Set(key.get(), name, REG_DWORD, {1, 0, 0, 0}), ERROR_SUCCESS);
  }
  const std::vector<std::u16string> sorted = {u"alpha", u"Bravo", u"Charlie", u"delta"};
  EXPECT_EQ(SubKeys(key.get()), sorted);
  EXPECT_EQ(Values(key.get()), sorted);

  WCHAR name[8];
  DWORD cch = 5;  // "alpha" needs 6 with the terminator
  EXPECT_EQ(RegEnumKeyExW(key.get(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  EXPECT_EQ(cch, 6u);
  cch = 6;
  FILETIME written{};
  EXPECT_EQ(RegEnumKeyExW(key.get(), 0, name, &cch, nullptr, nullptr, nullptr, &written),
            ERROR_SUCCESS);
  EXPECT_EQ(cch, 5u);
  EXPECT_NE(written.dwHighDateTime, 0u);
  cch = 3;
  EXPECT_EQ(RegEnumValueW(key.get(), 1, name, &cch, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);

  cch = 8;
  DWORD type = 0, size = 2;
  BYTE data[4];
  EXPECT_EQ(RegEnumValueW(key.get(), 2, name, &cch, nullptr, &type, data, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 4u);
  cch = 8;
  size = 4;
  EXPECT_EQ(RegEnumValueW(key.get(), 2, name, &cch, nullptr, &type, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(name), u"Charlie");
  EXPECT_EQ(type, REG_DWORD);
  cch = 8;
  EXPECT_EQ(RegEnumKeyExW(key.get(), 4, name, &cch, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);

  UniqueHKEY empty = Create(HKEY_LOCAL_MACHINE, u"Empty");
  EXPECT_TRUE(SubKeys(empty.get()).empty());
  EXPECT_TRUE(Values(empty.get()).empty());
}

TEST_F(RegistryTest, DeletingKeys) {
  UniqueHKEY parent = Create(HKEY_LOCAL_MACHINE, u"P");
  UniqueHKEY child = Create(parent.get(), u"Child\\Grandchild");
  ASSERT_EQ(Set(child.get(), u"Blob", REG_BINARY, {1}), ERROR_SUCCESS);

  EXPECT_EQ(RegDeleteKeyW(parent.get(), u"child"), ERROR_ACCESS_DENIED);  // has a sub-key
  EXPECT_EQ(RegDeleteKeyW(parent.get(), u"CHILD\\grandchild"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(parent.get(), u"Child\\Grandchild"), ERROR_FILE_NOT_FOUND);
  // The open handle of the deleted key now fails.
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(child.get(), u"Blob", nullptr, nullptr, nullptr, &size),
            ERROR_KEY_DELETED);
  EXPECT_EQ(Set(child.get(), u"Blob", REG_BINARY, {1}), ERROR_KEY_DELETED);
  // ... also when a key of the same name is made again.
  UniqueHKEY remade = Create(parent.get(), u"Child\\Grandchild");
  EXPECT_EQ(Set(child.get(), u"Blob", REG_BINARY, {1}), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(child.release()), ERROR_SUCCESS);
  remade.reset();

  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u""), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, nullptr), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyW(parent.get(), nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, DeletingTrees) {
  UniqueHKEY top = Create(HKEY_CURRENT_USER, u"Tree");
  for (const char16_t* path : {u"A\\B\\C", u"A\\D", u"E"}) {
    UniqueHKEY k = Create(top.get(), path);
    ASSERT_EQ(Set(k.get(), u"v", REG_DWORD, {1, 0, 0, 0}), ERROR_SUCCESS);
  }
  ASSERT_EQ(Set(top.get(), u"own", REG_DWORD, {1, 0, 0, 0}), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteTreeW(top.get(), u"a"), ERROR_SUCCESS);
  EXPECT_EQ(SubKeys(top.get()), std::vector<std::u16string>{u"E"});
  EXPECT_EQ(RegDeleteTreeW(top.get(), u"A"), ERROR_FILE_NOT_FOUND);

  // A null sub-key empties the key but keeps it.
  EXPECT_EQ(RegDeleteTreeW(top.get(), nullptr), ERROR_SUCCESS);
  EXPECT_TRUE(SubKeys(top.get()).empty());
  EXPECT_TRUE(Values(top.get()).empty());
  UniqueHKEY still;
  EXPECT_EQ(Open(HKEY_CURRENT_USER, u"Tree", still), ERROR_SUCCESS);
}

TEST_F(RegistryTest, AccessRightsAreHonoured) {
  Create(HKEY_LOCAL_MACHINE, u"Rights\\Sub");
  UniqueHKEY reader;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"Rights", reader, KEY_READ), ERROR_SUCCESS);
  EXPECT_EQ(Set(reader.get(), u"v", REG_DWORD, {1, 0, 0, 0}), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueW(reader.get(), u"v"), ERROR_ACCESS_DENIED);
  HKEY made = nullptr;
  EXPECT_EQ(RegCreateKeyExW(reader.get(), u"New", 0, nullptr, 0, KEY_READ, nullptr, &made, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(SubKeys(reader.get()), std::vector<std::u16string>{u"Sub"});
  // Opening an existing key through it is fine.
  DWORD disposition = 0;
  EXPECT_EQ(
      RegCreateKeyExW(reader.get(), u"sub", 0, nullptr, 0, KEY_READ, nullptr, &made, &disposition),
      ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  RegCloseKey(made);

  UniqueHKEY writer;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"Rights", writer, KEY_WRITE), ERROR_SUCCESS);
  ASSERT_EQ(Set(writer.get(), u"v", REG_DWORD, {1, 0, 0, 0}), ERROR_SUCCESS);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(writer.get(), u"v", nullptr, nullptr, nullptr, &size),
            ERROR_ACCESS_DENIED);
  WCHAR name[8];
  DWORD cch = 8;
  EXPECT_EQ(RegEnumKeyExW(writer.get(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
            ERROR_ACCESS_DENIED);
}

TEST_F(RegistryTest, FileSystemTroubleIsReported) {
  UniqueHKEY key = Create(HKEY_LOCAL_MACHINE, u"Odd");
  fs::path folder = machine_ / "registry/Odd";
  std::ofstream(folder / "=Torn", std::ios::binary) << "NP";  // not a value file
  fs::path outside = testsupport::WriteTempFile("secret", "NPSV\x03\0\0\0secret");
  fs::create_symlink(outside, folder / "=Link");
  fs::create_symlink(testsupport::MakeTempDir("elsewhere"), folder / "LinkedKey");
  std::ofstream(folder / ".scratch") << "x";

  DWORD type;
  Bytes data;
  EXPECT_EQ(Query(key.get(), u"Torn", type, data), ERROR_INVALID_DATA);
  EXPECT_EQ(Query(key.get(), u"Link", type, data), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Values(key.get()), std::vector<std::u16string>{u"Torn"});
  EXPECT_TRUE(SubKeys(key.get()).empty());
  UniqueHKEY linked;
  EXPECT_EQ(Open(key.get(), u"LinkedKey", linked), ERROR_FILE_NOT_FOUND);

  // A hive that cannot be written.
  fs::path locked = testsupport::MakeTempDir("locked");
  fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
  testsupport::ScopedEnv env("NPSIGIL_MACHINE_ROOT", (locked / "m").c_str());
  HKEY made = nullptr;
  if (::geteuid() != 0) {
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"K", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &made, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(made, nullptr);
  }
  fs::permissions(locked, fs::perms::owner_all);
}

TEST_F(RegistryTest, HandlesAreChecked) {
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
  UniqueHKEY key = Create(HKEY_LOCAL_MACHINE, u"H");
  HKEY raw = key.release();
  EXPECT_EQ(RegCloseKey(raw), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(raw), ERROR_INVALID_HANDLE);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(raw, u"v", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
  // The predefined keys may be opened and enumerated even before they exist.
  UniqueHKEY self;
  EXPECT_EQ(Open(HKEY_CURRENT_USER, u"", self), ERROR_SUCCESS);
  EXPECT_TRUE(SubKeys(HKEY_CURRENT_USER).empty());
}

}  // namespace
