/* The socket side of the driver. Wine runs a kernel driver inside an ordinary process
 * (winedevice.exe), so the driver may use Wine's sockets; the few calls needed are declared here
 * instead of taking winsock2.h, which clashes with the kernel headers. */
#include "link.h"

/* A SOCKET is pointer-sized: 32 bits in the i386 driver, 64 in the x64 one. */
typedef __UINTPTR_TYPE__ Socket;
#define INVALID_SOCKET_VALUE (~(Socket)0)
#define AF_INET_VALUE 2
#define SOCK_STREAM_VALUE 1
#define IPPROTO_TCP_VALUE 6

struct SockaddrIn {
    unsigned short family;
    unsigned short port;     /* network order */
    unsigned long address;   /* network order */
    char zero[8];
};

struct WsaData {
    unsigned short version, highVersion;
    char rest[512];
};

__declspec(dllimport) int __stdcall WSAStartup(unsigned short version, struct WsaData* data);
__declspec(dllimport) Socket __stdcall socket(int family, int type, int protocol);
__declspec(dllimport) int __stdcall connect(Socket s, const struct SockaddrIn* name, int length);
__declspec(dllimport) int __stdcall send(Socket s, const char* bytes, int length, int flags);
__declspec(dllimport) int __stdcall recv(Socket s, char* bytes, int length, int flags);
__declspec(dllimport) int __stdcall closesocket(Socket s);
__declspec(dllimport) int __stdcall setsockopt(Socket s, int level, int name, const char* value, int length);

static Socket gSocket = INVALID_SOCKET_VALUE;
static int gStarted;

static int Open(unsigned short port) {
    static struct WsaData data;
    struct SockaddrIn to;
    int i, noDelay = 1;
    if (!gStarted) {
        if (WSAStartup(0x0202, &data) != 0) return 0;
        gStarted = 1;
    }
    gSocket = socket(AF_INET_VALUE, SOCK_STREAM_VALUE, IPPROTO_TCP_VALUE);
    if (gSocket == INVALID_SOCKET_VALUE) return 0;
    for (i = 0; i < (int)sizeof to; ++i) ((char*)&to)[i] = 0;
    to.family = AF_INET_VALUE;
    to.port = (unsigned short)((port >> 8) | (port << 8));
    to.address = 0x0100007Fu; /* 127.0.0.1 */
    if (connect(gSocket, &to, sizeof to) != 0) {
        LinkClose();
        return 0;
    }
    /* Requests are small and answered one at a time: without this each waits for Nagle's timer. */
    setsockopt(gSocket, IPPROTO_TCP_VALUE, 1 /* TCP_NODELAY */, (const char*)&noDelay, sizeof noDelay);
    return 1;
}

int LinkSend(unsigned short port, const void* bytes, unsigned long length) {
    const char* p = (const char*)bytes;
    if (gSocket == INVALID_SOCKET_VALUE && !Open(port)) return 0;
    while (length > 0) {
        int n = send(gSocket, p, length > 0x10000 ? 0x10000 : (int)length, 0);
        if (n <= 0) {
            LinkClose();
            return 0;
        }
        p += n;
        length -= (unsigned long)n;
    }
    return 1;
}

int LinkReceive(void* bytes, unsigned long length) {
    char* p = (char*)bytes;
    if (gSocket == INVALID_SOCKET_VALUE) return 0;
    while (length > 0) {
        int n = recv(gSocket, p, length > 0x10000 ? 0x10000 : (int)length, 0);
        if (n <= 0) {
            LinkClose();
            return 0;
        }
        p += n;
        length -= (unsigned long)n;
    }
    return 1;
}

void LinkClose(void) {
    if (gSocket != INVALID_SOCKET_VALUE) closesocket(gSocket);
    gSocket = INVALID_SOCKET_VALUE;
}
