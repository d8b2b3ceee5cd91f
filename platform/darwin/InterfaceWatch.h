// Inside platform/darwin: the interface index-to-name table that the binding option uses, kept
// current by the same routing messages as DarwinSystem::interfaceListGeneration().
#pragma once

#include <string>

namespace darwin {

// The name of the interface with `index` in the watched network namespace; empty when none has it.
std::string interfaceNameOfIndex(unsigned index);

}  // namespace darwin
