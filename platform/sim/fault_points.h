// The names of the fault points the stand-in checks, for a person or a tool
// that names one by hand (halvex-host --fault POINT:CALL): a name that no call
// checks would arm nothing, and the run would pass as though the fault had
// been survived.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sim {

// A point some stand-in call checks: one of the fixed names, or a family's
// prefix followed by an argument of its kind ("WdfMemoryCreate:Hvx0" for a
// pool tag of four characters, "RoGetActivationFactory:" and a class's full
// name). The list's placeholders ("WdfMemoryCreate:TAG") name no point.
bool IsFaultPoint(std::string_view point);

// Every fixed name and each family as "PREFIX:ARGUMENT", in alphabetical order.
std::vector<std::string> FaultPointNames();

// What each family's ARGUMENT stands for: "CLASS stands for ...; TAG stands for ...".
std::string FaultPointArguments();

} // namespace sim
