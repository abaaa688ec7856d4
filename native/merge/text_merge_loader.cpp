// merge/text_merge.hpp for the `zuv` command: libgit2's merge lives in a
// shared object beside the command's own (merge/text_merge_entry.hpp),
// loaded on the first call that needs it, so that no other command pays
// for loading libgit2.  Where it cannot be loaded every merge declines (the
// caller runs `git merge-file`), and standard error says so once.
#include <dlfcn.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "merge/text_merge.hpp"
#include "merge/text_merge_entry.hpp"

namespace merge {
namespace {

// The module's entry, or why it could not be loaded.
struct Loaded {
  const TextMergeEntry* entry = nullptr;
  std::string why;
};

// The module beside the shared object this code was linked into.
Loaded load_entry() {
  Dl_info own{};
  if (dladdr(reinterpret_cast<void*>(&load_entry), &own) == 0 || !own.dli_fname)
    return {nullptr, "the command's own file is unknown"};
  std::string path = own.dli_fname;
  path.erase(path.find_last_of('/') + 1);  // npos + 1: no folder, the bare name
  path += kTextMergeModuleFile;
  // Never closed: libgit2 stays set up for the life of the process.
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    const char* why = dlerror();
    return {nullptr, why ? why : path};
  }
  auto entry_point =
      reinterpret_cast<const TextMergeEntry* (*)()>(dlsym(module, kTextMergeEntryName));
  const TextMergeEntry* entry = entry_point ? entry_point() : nullptr;
  if (!entry || entry->layout != kTextMergeEntryLayout || !entry->merge_text ||
      !entry->prepare_text_merge || !entry->libgit2_version)
    return {nullptr, path + " is of another build"};
  return {entry, ""};
}

// Loaded once, whichever thread asks first; the others wait for it.
const Loaded& loaded() {
  static const Loaded kLoaded = load_entry();
  return kLoaded;
}

// The entry for a merge; where there is none, standard error says why once.
const TextMergeEntry* entry() {
  const Loaded& module = loaded();
  if (!module.entry) {
    static std::once_flag told;
    std::call_once(told, [&] {
      std::fprintf(stderr,
                   "zuv merge-driver: cannot load the in-process merge (%s); cell sources are "
                   "merged by git merge-file\n",
                   module.why.c_str());
    });
  }
  return module.entry;
}

}  // namespace

void load_text_merge_ahead() { (void)loaded(); }

void prepare_text_merge() {
  if (const TextMergeEntry* module = entry()) module->prepare_text_merge();
}

TextMerge merge_text(std::string_view base, std::string_view current, std::string_view incoming,
                     const TextMergeOptions& options, std::string& merged) {
  const TextMergeEntry* module = entry();
  return module ? module->merge_text(base, current, incoming, options, merged)
                : TextMerge::declined;
}

std::string libgit2_version() {
  const TextMergeEntry* module = entry();
  return module ? module->libgit2_version() : std::string();
}

}  // namespace merge
