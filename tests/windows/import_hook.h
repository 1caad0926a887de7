// Puts a function of the tests' own in place of one the system provides, for
// the platform code linked into the tests: its calls to the system go
// through this program's import table, so a test can make the system lack a
// function or answer otherwise, as an older or newer Windows would. Windows
// code only.
#pragma once

#include <windows.h>

#include <cstring>

namespace lull::testing {

class ImportHook {
 public:
  // Replaces this program's import of `function` from `dll` with
  // `replacement` for as long as the hook lives.
  ImportHook(const char* dll, const char* function, const void* replacement) {
    auto* base = reinterpret_cast<BYTE*>(::GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* from = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         from->Name != 0 && slot_ == nullptr; ++from) {
      if (::lstrcmpiA(reinterpret_cast<const char*>(base + from->Name), dll) != 0) continue;
      auto* name = reinterpret_cast<IMAGE_THUNK_DATA*>(base + from->OriginalFirstThunk);
      auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + from->FirstThunk);
      for (; name->u1.AddressOfData != 0; ++name, ++slot) {
        if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) continue;
        const auto* by_name =
            reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
        if (std::strcmp(reinterpret_cast<const char*>(by_name->Name), function) != 0) continue;
        slot_ = &slot->u1.Function;
        break;
      }
    }
    if (slot_ == nullptr) return;
    original_ = *slot_;
    write(reinterpret_cast<ULONG_PTR>(replacement));
  }
  ~ImportHook() {
    if (slot_ != nullptr) write(original_);
  }
  ImportHook(const ImportHook&) = delete;
  ImportHook& operator=(const ImportHook&) = delete;

  [[nodiscard]] bool in_place() const { return slot_ != nullptr; }

 private:
  void write(ULONG_PTR function) {
    DWORD was = 0;
    ::VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &was);
    *slot_ = function;
    ::VirtualProtect(slot_, sizeof *slot_, was, &was);
  }

  ULONG_PTR* slot_ = nullptr;
  ULONG_PTR original_ = 0;
};

}  // namespace lull::testing
