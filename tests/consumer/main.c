/* A user's C program against the installed library: the C interface alone,
 * compiled as C, so that no C++ flag of veltor.pc may reach the compiler. */
#include <stdio.h>
#include <string.h>
#include <veltor/veltor_c.h>

int main(void) {
    int major = -1, minor = -1, patch = -1, connected = 1;
    const char* version = NULL;
    veltor_device* device = NULL;
    if (veltor_version(&major, &minor, &patch) != VELTOR_OK ||
        veltor_version_string(&version) != VELTOR_OK) {
        return 1;
    }
    /* The library loaded is the one these headers belong to. */
    if (major != VELTOR_VERSION_MAJOR || minor != VELTOR_VERSION_MINOR ||
        patch != VELTOR_VERSION_PATCH || strcmp(version, VELTOR_VERSION) != 0) {
        fprintf(stderr, "headers %s, library %s\n", VELTOR_VERSION, version);
        return 1;
    }
    if (veltor_create(&device) != VELTOR_OK) {
        return 1;
    }
    const veltor_status status = veltor_is_connected(device, &connected);
    veltor_destroy(device);
    printf("veltor %s from C: a device, %s\n", version, connected ? "connected" : "not connected");
    return status == VELTOR_OK && !connected ? 0 : 1;
}
