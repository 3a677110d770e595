#pragma once

// Host-name and address lookups for IPv4, standing in for Winsock's
// gethostbyname and gethostbyaddr. Both are thread-safe and copy their answer.

#include <netinet/in.h>
#include <string>

// Winsock's "numeric host" flag value for name-info calls. glibc's
// NI_NUMERICHOST has another value (its 2 means "numeric service").
constexpr int ZC_NI_NUMERICHOST = 2;

// The first IPv4 address of a host name (or of a numeric text the resolver
// accepts). False, with the address left untouched, when there is no answer.
bool HostByName(const char* name, in_addr& address);

// The official name of an IPv4 address. False, with the name left untouched,
// when the resolver knows no name for it.
bool HostByAddress(const in_addr& address, std::string& name);
