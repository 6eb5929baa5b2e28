/* pulse.cpp in C, through the flat C interface (veltor/veltor_c.h): sets
 * channel A to a 10 us pulse 1.5 us after each trigger of input 1 (gated by
 * input 2), sends everything with one whole-device update, and reads the
 * delay back.
 *
 *   veltor-pulse-c /dev/ttyUSB0      (a port number also works: veltor-pulse-c 1)
 *
 * On the simulated instrument: veltor sim --link /tmp/veltor-tty &
 *                              veltor-pulse-c /tmp/veltor-tty
 */
#include <stdio.h>
#include <stdlib.h>
#include <veltor/veltor_c.h>

/* Prints the reason of this thread's last failed call. */
static int fail(const char* what) {
    char message[512];
    size_t needed = 0;
    veltor_last_message(message, sizeof message, &needed);
    fprintf(stderr, "%s: %s\n", what, message);
    return 1;
}

static int run(veltor_device* device, const char* port) {
    char* end = NULL;
    const long number = strtol(port, &end, 10);
    const veltor_status opened = *end == '\0'
                                     ? veltor_connect_port(device, (int)number, VELTOR_BAUD_115200)
                                     : veltor_connect_path(device, port, VELTOR_BAUD_115200);
    if (opened != VELTOR_OK) {
        return fail("cannot connect");
    }

    veltor_mode_delay pulse;
    veltor_mode_defaults(VELTOR_MODE_DELAY, &pulse, sizeof pulse);
    pulse.delay = 1.5e-6;
    pulse.duration = 10e-6;
    /* The device keeps its own copy of the mode. */
    if (veltor_channel_set_mode(device, 'A', VELTOR_MODE_DELAY, &pulse) != VELTOR_OK) {
        return fail("channel A mode");
    }
    /* Everything that would be refused is found before anything is sent. */
    if (veltor_channel_check_mode(device, 'A') != VELTOR_OK) {
        return fail("channel A");
    }
    int line = 0;
    if (veltor_channel_set_logic(device, 'A', "inA = in1 & in2;", &line) != VELTOR_OK ||
        veltor_channel_compile_logic(device, 'A', &line) != VELTOR_OK) {
        fprintf(stderr, "channel A logic, line %d: ", line);
        return fail("refused");
    }

    double delay = 0.0;
    if (veltor_update_all(device) != VELTOR_OK || veltor_channel_enable(device, 'A') != VELTOR_OK ||
        veltor_channel_query(device, 'A', &delay) != VELTOR_OK) {
        return fail("refused");
    }
    printf("channel A: pulse of %g s after %g s; the instrument reports a delay of %g s\n",
           pulse.duration, pulse.delay, delay);
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s PORT\n", argv[0]);
        return 2;
    }
    veltor_device* device = NULL;
    if (veltor_create(&device) != VELTOR_OK) {
        return fail("cannot create the device");
    }
    const int status = run(device, argv[1]);
    veltor_destroy(device);
    return status;
}
