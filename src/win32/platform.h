// On Windows the watch loop calls the system's own IP Helper, Windows Sockets
// and kernel functions; this header only brings in their declarations.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
