#include "platform/posix/vdso_posix.h"

#include <link.h>
#include <sys/auxv.h>

#include <algorithm>
#include <cstring>

namespace {

// The vDSO's image and the difference between its link and its load
// addresses.
struct Image {
  const char* base;
  std::uintptr_t bias;
  const ElfW(Phdr) * segments;
  int segmentCount;
};

bool FindImage(Image& image) {
  const std::uintptr_t base = getauxval(AT_SYSINFO_EHDR);
  if (base == 0) {
    return false;
  }
  // The kernel gives the address as a number.
  image.base = reinterpret_cast<const char*>(base);  // NOLINT(performance-no-int-to-ptr)
  const auto& header = *reinterpret_cast<const ElfW(Ehdr)*>(image.base);
  image.segments = reinterpret_cast<const ElfW(Phdr)*>(image.base + header.e_phoff);
  image.segmentCount = header.e_phnum;
  image.bias = base;
  for (int index = 0; index < image.segmentCount; ++index) {
    if (image.segments[index].p_type == PT_LOAD && image.segments[index].p_offset == 0) {
      image.bias = base - image.segments[index].p_vaddr;
    }
  }
  return true;
}

template <typename T>
const T* At(const Image& image, ElfW(Addr) address) {
  return reinterpret_cast<const T*>(image.bias + address);  // NOLINT(performance-no-int-to-ptr)
}

}  // namespace

namespace plat::posix {

CodeRange VdsoCode() {
  Image image{};
  if (!FindImage(image)) {
    return {0, 0};
  }
  CodeRange code{UINTPTR_MAX, 0};
  for (int index = 0; index < image.segmentCount; ++index) {
    const ElfW(Phdr)& segment = image.segments[index];
    if (segment.p_type == PT_LOAD && (segment.p_flags & PF_X) != 0) {
      code.start = std::min<std::uintptr_t>(code.start, image.bias + segment.p_vaddr);
      code.end = std::max<std::uintptr_t>(code.end, image.bias + segment.p_vaddr + segment.p_memsz);
    }
  }
  return code;
}

ClockGettime VdsoClockGettime() {
  Image image{};
  if (!FindImage(image)) {
    return nullptr;
  }
  const ElfW(Dyn)* dynamic = nullptr;
  for (int index = 0; index < image.segmentCount; ++index) {
    if (image.segments[index].p_type == PT_DYNAMIC) {
      dynamic = At<ElfW(Dyn)>(image, image.segments[index].p_vaddr);
    }
  }
  const ElfW(Sym)* symbols = nullptr;
  const char* names = nullptr;
  const ElfW(Word)* hash = nullptr;
  for (; dynamic != nullptr && dynamic->d_tag != DT_NULL; ++dynamic) {
    switch (dynamic->d_tag) {
      case DT_SYMTAB:
        symbols = At<ElfW(Sym)>(image, dynamic->d_un.d_ptr);
        break;
      case DT_STRTAB:
        names = At<char>(image, dynamic->d_un.d_ptr);
        break;
      case DT_HASH:
        hash = At<ElfW(Word)>(image, dynamic->d_un.d_ptr);
        break;
      default:
        break;
    }
  }
  if (symbols == nullptr || names == nullptr || hash == nullptr) {
    return nullptr;
  }
  // The hash table's second word is the number of symbols. (The type is read
  // alike in both ELF classes.)
  for (ElfW(Word) index = 0; index < hash[1]; ++index) {
    const ElfW(Sym)& symbol = symbols[index];
    if (ELF64_ST_TYPE(symbol.st_info) == STT_FUNC && symbol.st_shndx != SHN_UNDEF &&
        std::strcmp(names + symbol.st_name, "__vdso_clock_gettime") == 0) {
      return reinterpret_cast<ClockGettime>(image.bias + symbol.st_value);  // NOLINT
    }
  }
  return nullptr;
}

}  // namespace plat::posix
