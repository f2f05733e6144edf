/* What the Windows programs of the Wine bench share (the tools' Windows builds and the watcher):
 * a connection to the notebook-emu server on 127.0.0.1 and its little-endian frames. They import
 * only kernel32, ws2_32 and (the watcher) user32: a tool runs in the working folder beside the
 * package's own msvcrt.dll, which Windows (and Wine) would load instead of the system's. */
#ifndef BENCH_CLIENT_H
#define BENCH_CLIENT_H

#include <winsock2.h>
#include <windows.h>

/* The server's port from ROMSHELL_BENCH_PORT of the environment; 0 when it is not set. */
unsigned short BenchPortFromEnvironment(void);
/* A connection to the server, or INVALID_SOCKET. */
SOCKET BenchConnect(unsigned short port);
int BenchSend(SOCKET s, const void* bytes, unsigned long length);
int BenchReceive(SOCKET s, void* bytes, unsigned long length);
int BenchSendWord(SOCKET s, unsigned long value);
int BenchReceiveWord(SOCKET s, unsigned long* value);
/* The text's length without its terminating zero. */
unsigned long BenchLength(const char* text);
/* Writes a line to the standard error (no C runtime here). */
void BenchComplain(const char* text);

#endif
