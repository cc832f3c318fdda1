// What the executable's own ELF headers promise: it runs without a program
// interpreter or shared library, keeps the usual hardening, and carries the
// build-id by which a packager splits off its debug symbols.
#include <elf.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "start.hpp"

namespace {

// The executable's own program headers.
std::vector<Elf64_Phdr> program_headers(std::string_view elf) {
  Elf64_Ehdr header;
  if (elf.size() < sizeof header)
    return {};
  std::memcpy(&header, elf.data(), sizeof header);
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_machine != EM_X86_64)
    return {};
  std::vector<Elf64_Phdr> headers(header.e_phnum);
  for (size_t i = 0; i < headers.size(); ++i) {
    const size_t at = header.e_phoff + i * sizeof(Elf64_Phdr);
    if (at + sizeof(Elf64_Phdr) > elf.size())
      return {};
    std::memcpy(&headers[i], elf.data() + at, sizeof(Elf64_Phdr));
  }
  return headers;
}

// The bytes of a segment that lie in the file.
std::string_view file_bytes(std::string_view elf, const Elf64_Phdr &h) {
  return elf.substr(std::min<size_t>(h.p_offset, elf.size()), h.p_filesz);
}

// Whether two segments map any page of the file in common: such a page is
// mapped with the permissions of both.
bool share_a_file_page(const Elf64_Phdr &a, const Elf64_Phdr &b) {
  if (a.p_filesz == 0 || b.p_filesz == 0)
    return false;
  const auto first = [](const Elf64_Phdr &h) { return h.p_offset / 4096; };
  const auto last = [](const Elf64_Phdr &h) {
    return (h.p_offset + h.p_filesz - 1) / 4096;
  };
  return first(a) <= last(b) && first(b) <= last(a);
}

class Executable : public testing::Test {
protected:
  const std::string elf = slurp(DORVENQUIL_EXE);
  const std::vector<Elf64_Phdr> headers = program_headers(elf);

  bool has(Elf64_Word type) const {
    for (const Elf64_Phdr &h : headers)
      if (h.p_type == type)
        return true;
    return false;
  }
};

TEST_F(Executable, NeedsNoInterpreterOrSharedLibrary) {
  ASSERT_FALSE(headers.empty()) << "not an x86-64 ELF executable";
  EXPECT_FALSE(has(PT_INTERP));
  for (const Elf64_Phdr &h : headers) {
    if (h.p_type != PT_DYNAMIC)
      continue;
    const std::string_view table = file_bytes(elf, h);
    for (size_t at = 0; at + sizeof(Elf64_Dyn) <= table.size();
         at += sizeof(Elf64_Dyn)) {
      Elf64_Dyn entry;
      std::memcpy(&entry, table.data() + at, sizeof entry);
      if (entry.d_tag == DT_NULL)
        break;
      EXPECT_NE(entry.d_tag, DT_NEEDED) << "needs a shared library";
    }
  }
}

TEST_F(Executable, IsHardened) {
  ASSERT_FALSE(headers.empty()) << "not an x86-64 ELF executable";
  bool stack_marked = false;
  for (const Elf64_Phdr &h : headers) {
    if (h.p_type == PT_GNU_STACK) {
      stack_marked = true;
      EXPECT_FALSE(h.p_flags & PF_X) << "executable stack";
    }
    if (h.p_type == PT_LOAD && (h.p_flags & PF_X)) {
      EXPECT_FALSE(h.p_flags & PF_W)
          << "segment at " << h.p_vaddr << " is writable and executable";
      EXPECT_GT(h.p_offset, 0u) << "the ELF headers are executable";
      for (const Elf64_Phdr &other : headers) {
        if (other.p_type == PT_LOAD && &other != &h) {
          EXPECT_FALSE(share_a_file_page(h, other))
              << "code shares a page with data at " << other.p_vaddr;
        }
      }
    }
  }
  EXPECT_TRUE(stack_marked) << "no PT_GNU_STACK: the stack may be executable";
  EXPECT_TRUE(has(PT_GNU_RELRO)) << "no RELRO";
}

// The length of the GNU build-id in the note segments; 0 if there is none.
size_t build_id_size(std::string_view elf,
                     const std::vector<Elf64_Phdr> &headers) {
  const auto align4 = [](size_t n) { return (n + 3) & ~size_t{3}; };
  for (const Elf64_Phdr &h : headers) {
    if (h.p_type != PT_NOTE)
      continue;
    const std::string_view notes = file_bytes(elf, h);
    for (size_t at = 0; at + sizeof(Elf64_Nhdr) <= notes.size();) {
      Elf64_Nhdr note;
      std::memcpy(&note, notes.data() + at, sizeof note);
      const size_t name = at + sizeof note;
      const size_t desc = name + align4(note.n_namesz);
      if (desc + note.n_descsz > notes.size())
        break;
      if (note.n_type == NT_GNU_BUILD_ID &&
          notes.substr(name, note.n_namesz) ==
              std::string_view(ELF_NOTE_GNU, sizeof ELF_NOTE_GNU))
        return note.n_descsz;
      at = desc + align4(note.n_descsz);
    }
  }
  return 0;
}

TEST_F(Executable, CarriesABuildId) {
  ASSERT_FALSE(headers.empty()) << "not an x86-64 ELF executable";
  EXPECT_EQ(build_id_size(elf, headers), 20u) << "no SHA-1 GNU build-id";
}

} // namespace
