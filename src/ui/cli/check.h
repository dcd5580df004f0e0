// zavik check: asks STUN servers, from the UDP port the link will use, what
// this side's router does with it, and says which way to link will work.
#pragma once

#include <string>
#include <vector>

// The servers asked when none is given: the one list of them.
extern const char* const kDefaultStunServers[];
extern const int kDefaultStunServerCount;

// port: the local UDP port (text, as given); servers: HOST[:PORT] entries,
// empty for the default list. Returns the exit code: 0 when a server answered,
// 1 when none did (or the port cannot be bound), 2 when a given name does not
// resolve.
int runCheck(const std::string& port, const std::vector<std::string>& servers);
