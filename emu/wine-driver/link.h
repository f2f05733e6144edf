/* The driver's line to the notebook-emu server: one TCP connection to 127.0.0.1, opened on the
 * first request and kept. Kept apart from the driver's own file because the kernel headers and
 * the socket headers do not mix in one translation unit. */
#ifndef ADDMEM_LINK_H
#define ADDMEM_LINK_H

/* Sends `length` bytes; 1 when all went, 0 when the connection failed (it is then closed). */
int LinkSend(unsigned short port, const void* bytes, unsigned long length);
/* Receives exactly `length` bytes; 1 or 0 as LinkSend. */
int LinkReceive(void* bytes, unsigned long length);
/* Closes the connection; the next LinkSend opens a new one. */
void LinkClose(void);

#endif
