// The client's English string table: localised texts by key. A key without
// an entry is its own text.
//
// Thread safety: pure function; any thread.
#pragma once

#include <QString>

namespace client::ui {

QString localized(const char* key);

}  // namespace client::ui
