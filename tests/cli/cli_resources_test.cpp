// ql5.exe as Explorer shows it (Windows only): read from the file itself.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

// ql5.exe carries what the window program carries: the icon, a manifest and
// version information that Explorer's properties show.
TEST(Ql5Cli, ExecutableCarriesIconManifestAndVersion) {
    HMODULE exe = LoadLibraryExA(QL5_CLI_PATH, nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(exe, nullptr);
    EXPECT_NE(FindResourceA(exe, MAKEINTRESOURCEA(128), MAKEINTRESOURCEA(14)), nullptr)
        << "icon group 128";
    HRSRC manifest = FindResourceA(exe, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    ASSERT_NE(manifest, nullptr);
    const std::string xml(static_cast<const char*>(LockResource(LoadResource(exe, manifest))),
                          SizeofResource(exe, manifest));
    EXPECT_NE(xml.find("asInvoker"), std::string::npos);
    HRSRC version = FindResourceA(exe, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(16));
    ASSERT_NE(version, nullptr);
    // The strings of a version resource are UTF-16.
    const auto* data = static_cast<const wchar_t*>(LockResource(LoadResource(exe, version)));
    const std::wstring block(data, SizeofResource(exe, version) / sizeof(wchar_t));
    EXPECT_NE(block.find(L"ql5.exe"), std::wstring::npos);
    EXPECT_NE(block.find(L"Tarvik QL-5 firmware updater (command line)"), std::wstring::npos);
    FreeLibrary(exe);
}

}  // namespace
