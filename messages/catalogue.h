// The catalogue as a table, for the tests that check what the executable
// shows (the Wine suite and the fuzz target). The
// executable itself gets its texts from the string table, built from the same file.
#pragma once

#include "messages/messages.h"

struct CatalogueEntry {
    unsigned id;
    const char* text;
};

inline constexpr CatalogueEntry CATALOGUE[] = {
#define CATALOGUE_TEXT(id, text) {id, text},
#include "messages/catalogue.inc"
#undef CATALOGUE_TEXT
};
