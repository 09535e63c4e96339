// Resources of the running program's file, through FindResourceExW.
#include <string>

#include "platform/resources.h"
#include "platform/win32/services.h"

#include "platform/win32/win_api.h"

namespace win32 {

namespace {

// "#123" names a number, as the resource compiler writes it; anything else is a name.
class ResourceName {
 public:
  explicit ResourceName(std::u16string_view text) : text_(text) {
    if (text_.size() > 1 && text_.size() <= 6 && text_[0] == u'#') {
      unsigned long n = 0;
      for (size_t i = 1; i < text_.size(); ++i) {
        if (text_[i] < u'0' || text_[i] > u'9') return;
        n = n * 10 + (text_[i] - u'0');
      }
      if (n > 0 && n <= 0xFFFF) id_ = static_cast<WORD>(n);
    }
  }
  const wchar_t* get() const { return id_ ? MAKEINTRESOURCEW(id_) : W(text_); }

 private:
  std::u16string text_;
  WORD id_ = 0;
};

::BOOL CALLBACK FirstLanguage(::HMODULE, LPCWSTR, LPCWSTR, WORD lang, LONG_PTR param) {
  *reinterpret_cast<WORD*>(param) = lang;
  return FALSE;  // the first one is enough
}

class Win32Resources : public win::IResources {
 public:
  std::optional<std::vector<win::BYTE>> LoadResourceBytes(std::u16string_view type, std::u16string_view id,
                                                          win::WORD lang) override {
    const ::HMODULE self = ::GetModuleHandleW(nullptr);
    const ResourceName t(type), n(id);
    WORD language = lang;
    // Any language: the first the file carries (the API alone would prefer the user's languages).
    if (language == 0) {
      ::EnumResourceLanguagesW(self, t.get(), n.get(), FirstLanguage, reinterpret_cast<LONG_PTR>(&language));
    }
    ::HRSRC res = ::FindResourceExW(self, t.get(), n.get(), language);
    if (!res) return std::nullopt;
    const DWORD size = ::SizeofResource(self, res);
    ::HGLOBAL loaded = ::LoadResource(self, res);
    const void* data = loaded ? ::LockResource(loaded) : nullptr;
    if (!data && size) return std::nullopt;
    const auto* bytes = static_cast<const win::BYTE*>(data);
    return std::vector<win::BYTE>(bytes, bytes + size);
  }
};

}  // namespace

std::unique_ptr<win::IResources> MakeResources() { return std::make_unique<Win32Resources>(); }

}  // namespace win32
