// The catalogue as a table, for the programs that check or stand in for the
// executable's string table (the simulated platform and the tests). The
// executable itself gets its texts from the string table, built from the same file.
#pragma once

#include "resources/messages.h"

struct CatalogueEntry {
    unsigned id;
    const char* text;
};

inline constexpr CatalogueEntry CATALOGUE[] = {
#define CATALOGUE_TEXT(id, text) {id, text},
#include "resources/catalogue.inc"
#undef CATALOGUE_TEXT
};
