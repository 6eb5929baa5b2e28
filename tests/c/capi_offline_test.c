/* The C interface without a line: argument checks, text buffers, mode
 * records, logic diagnostics and the statuses of an unconnected device. */
#include <limits.h>
#include <math.h>
#include <stddef.h>
#include <stdlib.h>

#include "check.h"

static veltor_device* dev;

/* Each call passes one NULL where a pointer is required. */
static veltor_status null_call(int i) {
    static veltor_mode_delay record = {.size = sizeof(veltor_mode_delay)};
    char text[8];
    size_t needed;
    int value;
    double seconds;
    switch (i) {
        case 0:
            return veltor_create(NULL);
        case 1:
            return veltor_destroy(NULL);
        case 2:
            return veltor_connect_path(dev, NULL, VELTOR_BAUD_115200);
        case 3:
            return veltor_connect_path(NULL, "/dev/null", VELTOR_BAUD_115200);
        case 4:
            return veltor_is_connected(dev, NULL);
        case 5:
            return veltor_enable_outputs(NULL);
        case 6:
            return veltor_channel_query(dev, 'A', NULL);
        case 7:
            return veltor_channel_query(NULL, 'A', &seconds);
        case 8:
            return veltor_channel_set_mode(dev, 'A', VELTOR_MODE_DELAY, NULL);
        case 9:
            return veltor_channel_set_mode(NULL, 'A', VELTOR_MODE_DELAY, &record);
        case 10:
            return veltor_channel_set_logic(dev, 'A', NULL, &value);
        case 11:
            return veltor_channel_get_logic(dev, 'A', text, sizeof text, NULL);
        case 12:
            return veltor_channel_get_logic(dev, 'A', NULL, 8, &needed);
        case 13:
            return veltor_set_global_logic(dev, "x = in1;", NULL);
        case 14:
            return veltor_last_outcome(dev, NULL);
        case 15:
            return veltor_version(&value, NULL, &value);
        case 16:
            return veltor_get_general(dev, NULL);
        case 17:
            return veltor_mode_defaults(VELTOR_MODE_CLOCK, NULL, sizeof(veltor_mode_clock));
        case 18:
            return veltor_last_message(text, sizeof text, NULL);
        case 19:
            return veltor_cancel_command(NULL);
        case 20:
            return veltor_set_reconnect(dev, NULL);
        case 21:
            return veltor_set_reconnect_callback(NULL, NULL, NULL);
        default:
            return VELTOR_OK;
    }
}

static void null_pointers_are_refused(void) {
    for (int i = 0; i <= 21; ++i) {
        const veltor_status status = null_call(i);
        if (status != VELTOR_INVALID_ARGUMENT) {
            fprintf(stderr, "null case %d gave %d\n", i, (int)status);
            ++g_failures;
        }
    }
    CHECK(strstr(last_message(), "is NULL") != NULL);
}

static void channels_are_letters_a_to_h(void) {
    static const struct {
        char letter;
        veltor_status status;
    } cases[] = {{'A', VELTOR_OK},
                 {'h', VELTOR_OK},
                 {'I', VELTOR_INVALID_ARGUMENT},
                 {'@', VELTOR_INVALID_ARGUMENT},
                 {0, VELTOR_INVALID_ARGUMENT},
                 {3, VELTOR_INVALID_ARGUMENT}};
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        double hz = 0;
        CHECK_STATUS(veltor_clock_frequency(dev, cases[i].letter, &hz), cases[i].status);
        CHECK_STATUS(veltor_channel_enable(dev, cases[i].letter),
                     cases[i].status == VELTOR_OK ? VELTOR_NOT_CONNECTED : cases[i].status);
    }
}

static void texts_fit_or_report_their_size(void) {
    const char* logic = "inA = in1 & in2;";
    int line = -1;
    char text[64];
    size_t needed = 0;
    CHECK_STATUS(veltor_channel_set_logic(dev, 'A', logic, &line), VELTOR_OK);
    CHECK_STATUS(veltor_channel_get_logic(dev, 'A', NULL, 0, &needed), VELTOR_BUFFER_TOO_SMALL);
    CHECK(needed == strlen(logic) + 1);
    memset(text, 'x', sizeof text);
    CHECK_STATUS(veltor_channel_get_logic(dev, 'A', text, 5, &needed), VELTOR_BUFFER_TOO_SMALL);
    CHECK(strcmp(text, "inA ") == 0 && text[5] == 'x');
    /* Reading the thread's message with too small a buffer keeps it. */
    CHECK_STATUS(veltor_last_message(text, 3, &needed), VELTOR_BUFFER_TOO_SMALL);
    CHECK(strstr(last_message(), "17 bytes needed") != NULL);
    CHECK_STATUS(veltor_channel_get_logic(dev, 'A', text, needed, &needed), VELTOR_OK);
    CHECK(strcmp(text, logic) == 0);
}

static void mode_records_carry_their_size(void) {
    veltor_mode_delay delay;
    veltor_mode_validate validate;
    veltor_mode_output output;
    CHECK_STATUS(veltor_mode_defaults(VELTOR_MODE_DELAY, &delay, sizeof delay), VELTOR_OK);
    CHECK(delay.size == sizeof delay && delay.delay == 2e-05 && delay.duration == 1e-05);
    CHECK(delay.trigger.option2 == 1 && delay.trigger.option1 == 0 && delay.sweep_enable == 0);
    CHECK_STATUS(veltor_mode_defaults(VELTOR_MODE_VALIDATE, &validate, sizeof validate), VELTOR_OK);
    CHECK(validate.delay == 3e-05);
    /* A record of another kind, or an unknown kind, is refused. */
    CHECK_STATUS(veltor_mode_defaults(VELTOR_MODE_DELAY, &output, sizeof output),
                 VELTOR_INVALID_ARGUMENT);
    CHECK_STATUS(veltor_mode_defaults(9, &delay, sizeof delay), VELTOR_INVALID_ARGUMENT);
    CHECK_STATUS(veltor_mode_defaults(-1, &delay, sizeof delay), VELTOR_INVALID_ARGUMENT);
    delay.size = sizeof delay + 8;
    CHECK_STATUS(veltor_channel_set_mode(dev, 'B', VELTOR_MODE_DELAY, &delay),
                 VELTOR_INVALID_ARGUMENT);
    delay.size = sizeof delay;

    /* Out of range: found offline, with every time at fault named. */
    delay.delay = 1e-9;
    delay.duration = 1e-9;
    CHECK_STATUS(veltor_channel_set_mode(dev, 'B', VELTOR_MODE_DELAY, &delay), VELTOR_OK);
    CHECK_STATUS(veltor_channel_check_mode(dev, 'B'), VELTOR_REJECTED);
    CHECK(strstr(last_message(), "channel B: delay 1e-09 s is outside") != NULL);
    CHECK(strstr(last_message(), "duration") != NULL);
    CHECK_STATUS(veltor_channel_send_mode(dev, 'B'), VELTOR_REJECTED);
    CHECK_STATUS(veltor_channel_clear_mode(dev, 'B'), VELTOR_OK);
    CHECK_STATUS(veltor_channel_check_mode(dev, 'B'), VELTOR_OK);
}

static void general_properties_set_the_clocks(void) {
    veltor_general general = {.size = sizeof general};
    double hz = 0;
    CHECK_STATUS(veltor_get_general(dev, &general), VELTOR_OK);
    CHECK(general.ref_clock_hz == 1e8 && general.clock_ef == 0);
    general.clock_ef = 3;
    CHECK_STATUS(veltor_set_general(dev, &general), VELTOR_OK);
    CHECK_STATUS(veltor_clock_frequency(dev, 'f', &hz), VELTOR_OK);
    CHECK(hz == 3125000.0);
    general.size = 4;
    CHECK_STATUS(veltor_set_general(dev, &general), VELTOR_INVALID_ARGUMENT);
    general.size = sizeof general;

    /* The instrument takes only a code's low two bits: any code outside 0
     * to 3 is refused, and the properties stay as they were. */
    static const struct {
        size_t field;
        int code;
        const char* says;
    } refused[] = {
        {offsetof(veltor_general, clock_cd), 5, "general: clock_cd is 5; only 0 to 3"},
        {offsetof(veltor_general, clock_ab), 4, "general: clock_ab is 4; only 0 to 3"},
        {offsetof(veltor_general, clock_ef), -1, "general: clock_ef is -1; only 0 to 3"},
        {offsetof(veltor_general, clock_gh), INT_MIN, "general: clock_gh is -2147483648"},
    };
    for (size_t i = 0; i < sizeof refused / sizeof refused[0]; ++i) {
        veltor_general changed = general;
        veltor_general kept = {.size = sizeof kept};
        *(int*)((char*)&changed + refused[i].field) = refused[i].code;
        changed.ref_clock_hz = 1e7;
        CHECK_STATUS(veltor_set_general(dev, &changed), VELTOR_INVALID_ARGUMENT);
        CHECK(strstr(last_message(), refused[i].says) != NULL);
        CHECK(strstr(last_message(), "3: one sixty-fourth of source 2") != NULL);
        CHECK_STATUS(veltor_get_general(dev, &kept), VELTOR_OK);
        CHECK(kept.clock_ab == 0 && kept.clock_cd == 0 && kept.clock_ef == 3 &&
              kept.clock_gh == 0 && kept.ref_clock_hz == 1e8);
    }
}

static void logic_errors_name_their_line(void) {
    char text[256];
    size_t needed;
    int line = -1;
    CHECK_STATUS(veltor_channel_set_logic(dev, 'C', "inC = in1;\ninC = in2 &;", &line),
                 VELTOR_REJECTED);
    CHECK(line == 2 && last_message()[0] != '\0');
    line = -1;
    CHECK_STATUS(veltor_channel_compile_logic(dev, 'C', &line), VELTOR_REJECTED);
    CHECK(line == 2);
    CHECK_STATUS(veltor_channel_logic_error(dev, 'C', &line, text, sizeof text, &needed),
                 VELTOR_OK);
    CHECK(line == 2 && strcmp(text, last_message()) == 0);
    CHECK_STATUS(veltor_channel_logic_code(dev, 'C', NULL, 0, &needed), VELTOR_OK);
    CHECK(needed == 0);

    CHECK_STATUS(veltor_set_global_logic(dev, "x = in1;\n\ny = (in2;", &line), VELTOR_REJECTED);
    CHECK(line == 3);
    CHECK_STATUS(veltor_global_logic_error(dev, &line, text, sizeof text, &needed), VELTOR_OK);
    CHECK(line == 3 && strstr(text, "line 3") != NULL);
    CHECK_STATUS(veltor_set_global_logic(dev, "x = in1 & in2;", &line), VELTOR_OK);
    CHECK_STATUS(veltor_channel_set_logic(dev, 'C', "inC = x | in3;", &line), VELTOR_OK);
    CHECK_STATUS(veltor_channel_compile_logic(dev, 'C', &line), VELTOR_OK);
    CHECK_STATUS(veltor_channel_logic_code(dev, 'C', NULL, 0, &needed), VELTOR_BUFFER_TOO_SMALL);
    CHECK(needed > 0);
}

static void unconnected_device_refuses_commands(void) {
    int connected = -1, outcome = -1;
    const char* text = NULL;
    CHECK_STATUS(veltor_connect_path(dev, "/nonexistent/tty", VELTOR_BAUD_115200),
                 VELTOR_CONNECT_FAILED);
    CHECK(strstr(last_message(), "/nonexistent/tty") != NULL);
    CHECK_STATUS(veltor_connect_path(dev, "/dev/null", 7), VELTOR_INVALID_ARGUMENT);
    CHECK_STATUS(veltor_connect_port(dev, 0, VELTOR_BAUD_9600), VELTOR_CONNECT_FAILED);
    CHECK_STATUS(veltor_is_connected(dev, &connected), VELTOR_OK);
    CHECK(connected == 0);
    CHECK_STATUS(veltor_update_all(dev), VELTOR_NOT_CONNECTED);
    CHECK_STATUS(veltor_last_outcome(dev, &outcome), VELTOR_OK);
    CHECK(outcome == VELTOR_OUTCOME_NOT_CONNECTED);
    CHECK_STATUS(veltor_describe_outcome(outcome, &text), VELTOR_OK);
    CHECK(strcmp(text, "not connected") == 0 && strstr(last_message(), text) != NULL);
    CHECK_STATUS(veltor_describe_outcome(99, &text), VELTOR_OK);
    CHECK(strcmp(text, "unknown outcome") == 0);
}

static void reconnect_policy_carries_its_size(void) {
    veltor_reconnect policy = {sizeof policy, 1, 100, 5000, 1};
    CHECK_STATUS(veltor_set_reconnect(dev, &policy), VELTOR_OK);
    policy.size = sizeof policy - 1;
    CHECK_STATUS(veltor_set_reconnect(dev, &policy), VELTOR_INVALID_ARGUMENT);
    CHECK(strstr(last_message(), "sizeof(veltor_reconnect)") != NULL);
    policy.size = sizeof policy;
    policy.enabled = 0;
    CHECK_STATUS(veltor_set_reconnect(dev, &policy), VELTOR_OK);
}

int main(int argc, char** argv) {
    static const test_case cases[] = {
        {"null_pointers", null_pointers_are_refused},
        {"channel_letters", channels_are_letters_a_to_h},
        {"text_buffers", texts_fit_or_report_their_size},
        {"mode_records", mode_records_carry_their_size},
        {"general", general_properties_set_the_clocks},
        {"logic_errors", logic_errors_name_their_line},
        {"unconnected", unconnected_device_refuses_commands},
        {"reconnect_policy", reconnect_policy_carries_its_size},
    };
    if (veltor_create(&dev) != VELTOR_OK) {
        return 1;
    }
    const int rc = run_cases(cases, (int)(sizeof cases / sizeof cases[0]), argc, argv);
    veltor_destroy(dev);
    return rc;
}
