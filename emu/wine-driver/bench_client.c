#include "bench_client.h"

/* The compiler may call these for copies and clears even without a C runtime. */
void* memset(void* to, int value, size_t length) {
    unsigned char* p = (unsigned char*)to;
    while (length-- > 0) *p++ = (unsigned char)value;
    return to;
}

void* memcpy(void* to, const void* from, size_t length) {
    unsigned char* p = (unsigned char*)to;
    const unsigned char* q = (const unsigned char*)from;
    while (length-- > 0) *p++ = *q++;
    return to;
}

unsigned long BenchLength(const char* text) {
    unsigned long n = 0;
    while (text[n] != 0) ++n;
    return n;
}

unsigned short BenchPortFromEnvironment(void) {
    char text[16];
    DWORD n = GetEnvironmentVariableA("ROMSHELL_BENCH_PORT", text, sizeof text);
    unsigned long port = 0;
    DWORD i;
    if (n == 0 || n >= sizeof text) return 0;
    for (i = 0; i < n; ++i) {
        if (text[i] < '0' || text[i] > '9') return 0;
        port = port * 10 + (unsigned long)(text[i] - '0');
        if (port > 0xFFFF) return 0;
    }
    return (unsigned short)port;
}

SOCKET BenchConnect(unsigned short port) {
    static int started;
    WSADATA data;
    struct sockaddr_in to;
    SOCKET s;
    int noDelay = 1;
    if (!started) {
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return INVALID_SOCKET;
        started = 1;
    }
    s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return s;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, (struct sockaddr*)&to, sizeof to) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char*)&noDelay, sizeof noDelay);
    return s;
}

int BenchSend(SOCKET s, const void* bytes, unsigned long length) {
    const char* p = (const char*)bytes;
    while (length > 0) {
        int n = send(s, p, length > 0x10000 ? 0x10000 : (int)length, 0);
        if (n <= 0) return 0;
        p += n;
        length -= (unsigned long)n;
    }
    return 1;
}

int BenchReceive(SOCKET s, void* bytes, unsigned long length) {
    char* p = (char*)bytes;
    while (length > 0) {
        int n = recv(s, p, length > 0x10000 ? 0x10000 : (int)length, 0);
        if (n <= 0) return 0;
        p += n;
        length -= (unsigned long)n;
    }
    return 1;
}

int BenchSendWord(SOCKET s, unsigned long value) {
    unsigned char b[4];
    b[0] = (unsigned char)value;
    b[1] = (unsigned char)(value >> 8);
    b[2] = (unsigned char)(value >> 16);
    b[3] = (unsigned char)(value >> 24);
    return BenchSend(s, b, 4);
}

int BenchReceiveWord(SOCKET s, unsigned long* value) {
    unsigned char b[4];
    if (!BenchReceive(s, b, 4)) return 0;
    *value = (unsigned long)b[0] | (unsigned long)b[1] << 8 | (unsigned long)b[2] << 16 | (unsigned long)b[3] << 24;
    return 1;
}

void BenchComplain(const char* text) {
    DWORD written = 0;
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (err == NULL || err == INVALID_HANDLE_VALUE) return;
    WriteFile(err, text, BenchLength(text), &written, NULL);
    WriteFile(err, "\r\n", 2, &written, NULL);
}
