// The simulated module's string table, from the same catalogue as the exe's
// (strings.rc): what LoadStringA finds in a host build.
#include "messages/messages.h"
#include "platform/simulated/sim_world.h"

#include <iterator>

const SimString SIM_STRING_TABLE[] = {
#define CATALOGUE_TEXT(id, text) {id, text},
#include "messages/catalogue.inc"
#undef CATALOGUE_TEXT
};
const size_t SIM_STRING_TABLE_SIZE = std::size(SIM_STRING_TABLE);
