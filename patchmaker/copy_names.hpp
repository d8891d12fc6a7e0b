// Where each file's new server copy goes below its update's directory. The natural name is
// the file's key (its lower-cased relative path), with ".lzma2" when packed; but two keys
// may still meet there (a file X beside a file X.lzma2, names that differ only in letter
// case, a file called index.json at the top of the tree, which is where the update's own
// documents lie), and one copy would then overwrite the other. The launcher takes each
// copy's name from the index, so a file whose natural name is taken gets another one.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qz4 {

// The update's own documents at the top of its directory: index.json and whatever is named
// after it (the packed index, signatures), in any letter case.
[[nodiscard]] bool is_update_document_name(const std::wstring& name);

// One stem per key, in the same order: the copy is <stem>, or <stem>.lzma2 when packed, and
// no stem's two names coincide with another's, with a directory another needs, or with an
// update document. `kept` holds, per key, the stem of a copy that an earlier, unpublished run
// already made in this update's directory for the same file (empty when there is none): the
// file keeps it, so that copy stays usable. Otherwise the first key in order keeps its natural
// name, and a later one gets "~2", "~3" ... before its extension.
[[nodiscard]] std::vector<std::wstring> assign_copy_stems(const std::vector<std::wstring>& keys,
                                                          const std::vector<std::wstring>& kept);

} // namespace qz4
