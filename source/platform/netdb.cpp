#include "platform/netdb.h"

#include <cstring>
#include <netdb.h>
#include <sys/socket.h>

bool HostByName(const char* name, in_addr& address)
{
	addrinfo hints;
	std::memset(&hints, 0, sizeof(hints));
	hints.ai_family = AF_INET;
	hints.ai_socktype = SOCK_STREAM; // one entry per address, not one per socket type
	addrinfo* answer = nullptr;
	if (name == nullptr || getaddrinfo(name, nullptr, &hints, &answer) != 0)
		return false;
	bool found = false;
	for (const addrinfo* entry = answer; entry != nullptr; entry = entry->ai_next)
	{
		if (entry->ai_family == AF_INET && entry->ai_addr != nullptr)
		{
			address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr;
			found = true;
			break;
		}
	}
	freeaddrinfo(answer);
	return found;
}

bool HostByAddress(const in_addr& address, std::string& name)
{
	sockaddr_in sa;
	std::memset(&sa, 0, sizeof(sa));
	sa.sin_family = AF_INET;
	sa.sin_addr = address;
	char host[NI_MAXHOST];
	if (getnameinfo(reinterpret_cast<const sockaddr*>(&sa), sizeof(sa), host, sizeof(host), nullptr, 0, NI_NAMEREQD) != 0)
		return false;
	name = host;
	return true;
}
