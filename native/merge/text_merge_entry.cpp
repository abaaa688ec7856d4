// The entry point of the shared object that holds libgit2's merge, the only
// symbol it exports.
#include "merge/text_merge_entry.hpp"

extern "C" __attribute__((visibility("default"))) const merge::TextMergeEntry*
zuv_text_merge_entry() {
  static const merge::TextMergeEntry kEntry{merge::kTextMergeEntryLayout, merge::merge_text,
                                            merge::prepare_text_merge, merge::libgit2_version};
  return &kEntry;
}

// libgit2's set-up loads the system's CA certificates into its TLS library
// (Debian's libgit2 1.5 with mbedTLS: about 54M instructions, more than the
// rest of a 50-cell merge).  This object merges text in memory and never
// opens a connection, so it answers that call itself, loading nothing: the
// dynamic linker looks the name up in this object before the libraries it
// links (unless one of them is already loaded for the whole process, when
// the real function runs as before).  A libgit2 built with another TLS
// library never calls it.
extern "C" __attribute__((visibility("default"))) int mbedtls_x509_crt_parse_file(
    void* /*chain*/, const char* /*path*/) {
  return 0;
}
