/* Line speed and saved line state through the kernel's termios2 interface.
 *
 * glibc's <termios.h> and the kernel's <asm/termbits.h> define the same names differently, so
 * everything that needs the kernel's structures lives in serial_termios2.c behind this small
 * C interface. termios2 carries the speed as a plain number (BOTHER), which is how a line is
 * set to a speed that has no B-constant. */
#ifndef KELP_PLATFORM_SERIAL_TERMIOS2_H
#define KELP_PLATFORM_SERIAL_TERMIOS2_H

#ifdef __cplusplus
extern "C" {
#endif

/* Sets input and output speed to `baud` bits per second (BOTHER). 0 on success, -1 on failure. */
int kelp_tty_set_speed(int fd, unsigned baud);

/* The output speed the line reports, in bits per second. 0 on success, -1 on failure. */
int kelp_tty_get_speed(int fd, unsigned* baud);

/* A copy of the line's whole state (speeds included), or NULL when it cannot be read. */
void* kelp_tty_save(int fd);
/* Puts a saved state back. 0 on success, -1 on failure. */
int kelp_tty_restore(int fd, const void* saved);
void kelp_tty_free(void* saved);

/* The line's error counters since the driver started counting. */
struct kelp_tty_counts {
    unsigned long frame, overrun, parity, brk, buf_overrun;
};
/* 0 on success; -1 when the driver keeps no counters (a pseudo-terminal, for one). */
int kelp_tty_icount(int fd, struct kelp_tty_counts* out);

#ifdef __cplusplus
}
#endif

#endif
