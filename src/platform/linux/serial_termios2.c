/* See serial_termios2.h. Only kernel headers here: glibc's termios.h must not be included. */
#include "platform/linux/serial_termios2.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <errno.h>
#include <linux/serial.h>
#include <stdlib.h>
#include <string.h>

/* <sys/ioctl.h> drags in glibc's terminal definitions, which clash with the kernel's. */
extern int ioctl(int fd, unsigned long request, ...);

int kelp_tty_set_speed(int fd, unsigned baud) {
    struct termios2 t;
    if (baud == 0 || ioctl(fd, TCGETS2, &t) != 0)
        return -1;
    /* Output speed as a number; an input field of 0 means "same as output". */
    t.c_cflag &= ~(tcflag_t)(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER;
    t.c_ospeed = baud;
    t.c_ispeed = baud;
    return ioctl(fd, TCSETS2, &t) == 0 ? 0 : -1;
}

int kelp_tty_get_speed(int fd, unsigned* baud) {
    struct termios2 t;
    if (!baud || ioctl(fd, TCGETS2, &t) != 0)
        return -1;
    *baud = t.c_ospeed;
    return 0;
}

void* kelp_tty_save(int fd) {
    struct termios2* t = malloc(sizeof *t);
    if (!t)
        return NULL;
    if (ioctl(fd, TCGETS2, t) != 0) {
        free(t);
        return NULL;
    }
    return t;
}

int kelp_tty_restore(int fd, const void* saved) {
    if (!saved)
        return -1;
    struct termios2 t;
    memcpy(&t, saved, sizeof t);
    return ioctl(fd, TCSETS2, &t) == 0 ? 0 : -1;
}

void kelp_tty_free(void* saved) {
    free(saved);
}

int kelp_tty_icount(int fd, struct kelp_tty_counts* out) {
    struct serial_icounter_struct c;
    memset(&c, 0, sizeof c);
    if (!out || ioctl(fd, TIOCGICOUNT, &c) != 0)
        return -1;
    out->frame = (unsigned long)c.frame;
    out->overrun = (unsigned long)c.overrun;
    out->parity = (unsigned long)c.parity;
    out->brk = (unsigned long)c.brk;
    out->buf_overrun = (unsigned long)c.buf_overrun;
    return 0;
}
