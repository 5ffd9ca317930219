// The helper executable carries its application manifest as resource 1 of type RT_MANIFEST, and
// the system reads from it the identity and the execution level that make the host's start of
// the helper elevated. The executable is loaded as data only; nothing of it runs.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

// CREATEPROCESS_MANIFEST_RESOURCE_ID: the manifest the loader reads when the process starts.
constexpr WORD kProcessManifestId = 1;

// The helper is built into the folder of this test program.
std::wstring helper_path() {
  std::wstring path(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length);
  return path.substr(0, path.find_last_of(L"\\/") + 1) + L"ketterlin-scan-helper.exe";
}

struct ModuleFree {
  void operator()(HMODULE module) const { FreeLibrary(module); }
};
using UniqueModule = std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleFree>;

struct ActivationContextRelease {
  void operator()(HANDLE context) const { ReleaseActCtx(context); }
};
using UniqueActivationContext =
    std::unique_ptr<std::remove_pointer_t<HANDLE>, ActivationContextRelease>;

BOOL CALLBACK collect_resource_name(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR names) {
  // Named (not numbered) resources are collected as 0, which no expectation accepts.
  reinterpret_cast<std::vector<std::uintptr_t>*>(names)->push_back(
      IS_INTRESOURCE(name) ? reinterpret_cast<std::uintptr_t>(name) : 0);
  return TRUE;
}

// The activation context the system builds from the helper's manifest resource 1.
UniqueActivationContext helper_activation_context(const std::wstring& path) {
  ACTCTXW request{};
  request.cbSize = sizeof(request);
  request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
  request.lpSource = path.c_str();
  request.lpResourceName = MAKEINTRESOURCEW(kProcessManifestId);
  const HANDLE context = CreateActCtxW(&request);
  if (context == INVALID_HANDLE_VALUE) return nullptr;
  return UniqueActivationContext(context);
}

TEST(HelperManifest, IsTheExecutablesOnlyManifestWithTheProcessId) {
  const UniqueModule helper(LoadLibraryExW(
      helper_path().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
  ASSERT_NE(helper, nullptr) << "cannot load the helper, error " << GetLastError();

  std::vector<std::uintptr_t> ids;
  EnumResourceNamesW(helper.get(), RT_MANIFEST, collect_resource_name,
                     reinterpret_cast<LONG_PTR>(&ids));
  EXPECT_EQ(ids, std::vector<std::uintptr_t>{kProcessManifestId});
}

TEST(HelperManifest, RequiresAdministratorWithoutUiAccess) {
  const UniqueActivationContext context = helper_activation_context(helper_path());
  ASSERT_NE(context, nullptr) << "the system rejects the manifest, error " << GetLastError();

  ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION run_level{};
  ASSERT_TRUE(QueryActCtxW(0, context.get(), nullptr, RunlevelInformationInActivationContext,
                           &run_level, sizeof(run_level), nullptr))
      << "error " << GetLastError();
  EXPECT_EQ(run_level.RunLevel, ACTCTX_RUN_LEVEL_REQUIRE_ADMIN);
  EXPECT_EQ(run_level.UiAccess, 0u);
}

TEST(HelperManifest, NamesTheAssemblyAndItsVersion) {
  const UniqueActivationContext context = helper_activation_context(helper_path());
  ASSERT_NE(context, nullptr) << "the system rejects the manifest, error " << GetLastError();

  // The root assembly is index 1; the first call asks for the size.
  DWORD index = 1;
  SIZE_T size = 0;
  QueryActCtxW(0, context.get(), &index, AssemblyDetailedInformationInActivationContext, nullptr, 0,
               &size);
  ASSERT_GE(size, sizeof(ACTIVATION_CONTEXT_ASSEMBLY_DETAILED_INFORMATION));
  std::vector<std::uint64_t> storage((size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
  auto* assembly =
      reinterpret_cast<ACTIVATION_CONTEXT_ASSEMBLY_DETAILED_INFORMATION*>(storage.data());
  ASSERT_TRUE(QueryActCtxW(0, context.get(), &index, AssemblyDetailedInformationInActivationContext,
                           assembly, size, &size))
      << "error " << GetLastError();

  // The identity as the system encodes it: the name, then its attributes in any order.
  const std::wstring identity(assembly->lpAssemblyEncodedAssemblyIdentity,
                              assembly->ulEncodedAssemblyIdentityLength / sizeof(wchar_t));
  EXPECT_EQ(identity.substr(0, identity.find(L',')), L"Ketterlin.ScanHelper") << identity;
  // The project's version, "M.m.p.0", from CMake.
  EXPECT_NE(identity.find(L"version=\"" KETTERLIN_HELPER_MANIFEST_VERSION L"\""),
            std::wstring::npos)
      << identity;
}

}  // namespace
