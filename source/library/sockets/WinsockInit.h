#pragma once

#include "platform/winsock.h"

// Starts Winsock for the life of the process. The one instance is a global
// object of the socket library, so Winsock is up before any socket can exist;
// a failed start ends the process with status -1.
class WinsockInit
{
public:
	WinsockInit();
	~WinsockInit();
	WinsockInit(const WinsockInit&) = delete;
	WinsockInit& operator=(const WinsockInit&) = delete;

private:
	WSADATA m_wsaData;
};

// The English sentence for a Winsock error code. Codes without a sentence of
// their own are formatted as "Winsock error code: <code>" into a buffer of the
// calling thread, valid until that thread's next such call.
const char* WinsockErrorText(int code);
