/* Finding the port through the C interface: probing the simulated
 * instrument and an absent port, and the list's argument checks. */
#include "check.h"

static veltor_port_numbers numbers_of(const veltor_port_list* list, size_t index) {
    veltor_port_numbers numbers;
    memset(&numbers, 0, sizeof numbers);
    numbers.size = sizeof numbers;
    CHECK_STATUS(veltor_port_get_numbers(list, index, &numbers), VELTOR_OK);
    return numbers;
}

static void probe_finds_the_simulator(void) {
    sim_process sim;
    if (sim_start(&sim, NULL) != 0) {
        ++g_failures;
        return;
    }
    const char* paths[] = {"/nonexistent/tty", sim.path};
    const int speeds[] = {VELTOR_BAUD_9600};
    veltor_port_options options;
    memset(&options, 0, sizeof options);
    options.size = sizeof options;
    options.probe = 1;
    options.baud_indexes = speeds;
    options.baud_count = 1;
    options.extra_paths = paths;
    options.extra_count = 2;
    options.only_extra_paths = 1;
    veltor_port_list* list = NULL;
    size_t count = 0, needed = 0;
    char text[256];
    CHECK_STATUS(veltor_list_ports(&options, &list), VELTOR_OK);
    CHECK_STATUS(veltor_port_count(list, &count), VELTOR_OK);
    CHECK(count == 2);
    if (count == 2) {
        veltor_port_numbers absent = numbers_of(list, 0), found = numbers_of(list, 1);
        CHECK(absent.probe == VELTOR_PROBE_FAILED && absent.probe_baud_index == -1);
        CHECK_STATUS(
            veltor_port_get_text(list, 0, VELTOR_PORT_PROBE_NOTE, text, sizeof text, &needed),
            VELTOR_OK);
        CHECK(strstr(text, "/nonexistent/tty") != NULL);
        CHECK(found.probe == VELTOR_PROBE_INSTRUMENT);
        CHECK(found.probe_baud_index == VELTOR_BAUD_9600);
        CHECK(found.vendor_id == -1 && found.product_id == -1);
        CHECK_STATUS(veltor_port_get_text(list, 1, VELTOR_PORT_PATH, text, sizeof text, &needed),
                     VELTOR_OK);
        CHECK(strcmp(text, sim.path) == 0);
    }
    CHECK_STATUS(veltor_port_list_free(list), VELTOR_OK);
    sim_stop(&sim);
}

static void list_arguments_are_checked(void) {
    veltor_port_list* list = NULL;
    veltor_port_options options;
    veltor_port_numbers numbers;
    size_t count = 0, needed = 0;
    char small[2];
    const char* path = "/dev/veltor-none";
    memset(&options, 0, sizeof options);
    options.size = sizeof options - 1;
    CHECK_STATUS(veltor_list_ports(&options, &list), VELTOR_INVALID_ARGUMENT);
    CHECK(list == NULL);
    CHECK_STATUS(veltor_list_ports(NULL, NULL), VELTOR_INVALID_ARGUMENT);
    options.size = sizeof options;
    options.extra_count = 1;
    CHECK_STATUS(veltor_list_ports(&options, &list), VELTOR_INVALID_ARGUMENT);
    options.extra_paths = &path;
    options.only_extra_paths = 1;
    {
        const int bad[] = {7};
        options.baud_indexes = bad;
        options.baud_count = 1;
        CHECK_STATUS(veltor_list_ports(&options, &list), VELTOR_INVALID_ARGUMENT);
        options.baud_count = 0;
    }
    /* The machine's ports, whatever they are, without probing. */
    CHECK_STATUS(veltor_list_ports(NULL, &list), VELTOR_OK);
    CHECK_STATUS(veltor_port_list_free(list), VELTOR_OK);

    CHECK_STATUS(veltor_list_ports(&options, &list), VELTOR_OK);
    CHECK_STATUS(veltor_port_count(list, &count), VELTOR_OK);
    CHECK(count == 1);
    CHECK(numbers_of(list, 0).probe == VELTOR_PROBE_NOT_PROBED);
    CHECK_STATUS(veltor_port_get_text(list, 0, VELTOR_PORT_PATH, small, sizeof small, &needed),
                 VELTOR_BUFFER_TOO_SMALL);
    CHECK(needed == strlen(path) + 1 && small[1] == '\0');
    CHECK_STATUS(veltor_port_get_text(list, 0, 8, small, sizeof small, &needed),
                 VELTOR_INVALID_ARGUMENT);
    CHECK_STATUS(veltor_port_get_text(list, 1, VELTOR_PORT_PATH, small, sizeof small, &needed),
                 VELTOR_INVALID_ARGUMENT);
    memset(&numbers, 0, sizeof numbers);
    CHECK_STATUS(veltor_port_get_numbers(list, 0, &numbers), VELTOR_INVALID_ARGUMENT);
    CHECK_STATUS(veltor_port_list_free(list), VELTOR_OK);
    CHECK_STATUS(veltor_port_list_free(NULL), VELTOR_INVALID_ARGUMENT);
}

int main(int argc, char** argv) {
    static const test_case cases[] = {
        {"probe", probe_finds_the_simulator},
        {"arguments", list_arguments_are_checked},
    };
    return run_cases(cases, (int)(sizeof cases / sizeof cases[0]), argc, argv);
}
