// What the test modules and the test client saw, in order, as "Who:What".
#pragma once

#include <string>
#include <vector>

namespace dmftest {

void Record(const std::string& entry);
std::vector<std::string> Log();
// The entries whose "What" is `event` (or all), in order.
std::vector<std::string> Who(const std::string& event);
// The entries that contain any of `parts`, in order.
std::vector<std::string> LogWith(const std::vector<std::string>& parts);
bool Logged(const std::string& entry);
void ClearLog();

} // namespace dmftest
