/* The C interface against the simulated instrument over a pseudo-terminal:
 * what each call puts on the wire, the answers, delay reports, several
 * threads on one device, and a line that goes away. */
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <stdlib.h>
#include <time.h>

#include "check.h"

/* What the trace saw: the requests written and the answers read. */
typedef struct wire {
    pthread_mutex_t lock;
    int requests;
    int answers;
    unsigned char first_bytes[64]; /* payload byte 0 of each request */
    char last_request[64];         /* in hex */
} wire;

static void VELTOR_CALL on_trace(void* user, const veltor_trace_event* event) {
    wire* w = (wire*)user;
    pthread_mutex_lock(&w->lock);
    if (event->kind == VELTOR_TRACE_REQUEST && event->count > 3) {
        if (w->requests < 64) {
            w->first_bytes[w->requests] = event->bytes[3];
        }
        ++w->requests;
        w->last_request[0] = '\0';
        for (size_t i = 0; i < event->count && i < 31; ++i) {
            sprintf(w->last_request + 2 * i, "%02X", event->bytes[i]);
        }
    } else if (event->kind == VELTOR_TRACE_ANSWER) {
        ++w->answers;
    }
    pthread_mutex_unlock(&w->lock);
}

static sim_process sim;
static veltor_device* dev;
static wire trace = {PTHREAD_MUTEX_INITIALIZER, 0, 0, {0}, ""};

static int open_line(const char* const* sim_args) {
    if (sim_start(&sim, sim_args) != 0 || veltor_create(&dev) != VELTOR_OK) {
        fprintf(stderr, "cannot start the simulator\n");
        ++g_failures;
        return 0;
    }
    CHECK_STATUS(veltor_connect_path(dev, sim.path, VELTOR_BAUD_115200), VELTOR_OK);
    CHECK_STATUS(veltor_set_trace(dev, on_trace, &trace), VELTOR_OK);
    return 1;
}

static void close_line(void) {
    CHECK_STATUS(veltor_destroy(dev), VELTOR_OK);
    sim_stop(&sim);
}

static void forget_trace(void) {
    pthread_mutex_lock(&trace.lock);
    trace.requests = trace.answers = 0;
    pthread_mutex_unlock(&trace.lock);
}

static void device_commands_reach_the_instrument(void) {
    static const struct {
        veltor_status (*VELTOR_CALL command)(veltor_device*);
        unsigned char operation;
    } cases[] = {{veltor_enable_outputs, 0x80}, {veltor_disable_outputs, 0x90},
                 {veltor_lock_panel, 0x50},     {veltor_unlock_panel, 0x58},
                 {veltor_reset_all, 0x70},      {veltor_set_clock, 0x10},
                 {veltor_implement_logic, 0xC0}};
    veltor_general general = {.size = sizeof general};
    if (!open_line(NULL)) {
        return;
    }
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        forget_trace();
        CHECK_STATUS(cases[i].command(dev), VELTOR_OK);
        CHECK(trace.requests == 1 && trace.answers == 1 &&
              trace.first_bytes[0] == cases[i].operation);
    }
    /* Clock sources 1 2 3 0 and the panel lock, in the clock options. */
    CHECK_STATUS(veltor_get_general(dev, &general), VELTOR_OK);
    general.clock_ab = 1, general.clock_cd = 2, general.clock_ef = 3, general.lock_panel = 1;
    CHECK_STATUS(veltor_set_general(dev, &general), VELTOR_OK);
    CHECK_STATUS(veltor_set_clock(dev), VELTOR_OK);
    CHECK(strncmp(trace.last_request, "25D80B102039", 12) == 0);

    forget_trace();
    CHECK_STATUS(veltor_update_all(dev), VELTOR_OK);
    /* Lock, disable, 8 logic, clock, 8 modes, implement, enable; no unlock
     * while the general properties keep the panel locked. */
    CHECK(trace.requests == 21);
    CHECK(trace.first_bytes[0] == 0x50 && trace.first_bytes[10] == 0x10 &&
          trace.first_bytes[18] == 0x07 && trace.first_bytes[19] == 0xC0 &&
          trace.first_bytes[20] == 0x80);
    close_line();
}

static void channel_commands_send_their_frames(void) {
    static const struct {
        veltor_status (*VELTOR_CALL command)(veltor_device*, char);
        char channel;
        const char* frame;
    } cases[] = {{veltor_channel_enable, 'A', "25D805880800006B"},
                 {veltor_channel_disable, 'h', "25D8058F0E00005E"},
                 {veltor_channel_force_trigger, 'C', "25D8058A0C000065"},
                 {veltor_channel_reset, 'D', "25D8058B09000067"}};
    const char* const args[] = {"--delay", "B:400000", NULL};
    double seconds = 0;
    int line = 0;
    if (!open_line(args)) {
        return;
    }
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        CHECK_STATUS(cases[i].command(dev, cases[i].channel), VELTOR_OK);
        CHECK(strcmp(trace.last_request, cases[i].frame) == 0);
    }
    CHECK_STATUS(veltor_channel_query(dev, 'B', &seconds), VELTOR_OK);
    CHECK(seconds == 400000 / 200e6);
    seconds = 0;
    CHECK_STATUS(veltor_channel_last_delay(dev, 'B', &seconds), VELTOR_OK);
    CHECK(seconds == 400000 / 200e6);

    /* Logic that does not compile is refused before anything is sent. */
    CHECK_STATUS(veltor_channel_set_logic(dev, 'C', "inC = in1 & in2;", &line), VELTOR_OK);
    forget_trace();
    CHECK_STATUS(veltor_channel_transfer_logic(dev, 'C'), VELTOR_OK);
    CHECK(trace.requests == 1 && trace.first_bytes[0] == 0x0A);
    CHECK_STATUS(veltor_channel_set_logic(dev, 'C', "inC = in1 &;", &line), VELTOR_OK);
    CHECK_STATUS(veltor_channel_transfer_logic(dev, 'C'), VELTOR_REJECTED);
    CHECK(strstr(last_message(), "channel C: logic: ") == last_message());
    CHECK(trace.requests == 1);
    close_line();
}

/* Every kind with its defaults is accepted by the instrument. */
static void every_mode_kind_is_sent(void) {
    union {
        size_t size;
        veltor_mode_output output;
        veltor_mode_delay delay;
        veltor_mode_dyn_delay dyn;
        veltor_mode_count count;
        veltor_mode_updown updown;
        veltor_mode_validate validate;
        veltor_mode_clock clock;
    } record;
    static const size_t sizes[] = {
        sizeof(veltor_mode_output), sizeof(veltor_mode_output),    sizeof(veltor_mode_output),
        sizeof(veltor_mode_delay),  sizeof(veltor_mode_dyn_delay), sizeof(veltor_mode_count),
        sizeof(veltor_mode_updown), sizeof(veltor_mode_validate),  sizeof(veltor_mode_clock)};
    if (!open_line(NULL)) {
        return;
    }
    for (int kind = VELTOR_MODE_NULL; kind <= VELTOR_MODE_CLOCK; ++kind) {
        const char channel = (char)('A' + kind % 8);
        CHECK_STATUS(veltor_mode_defaults(kind, &record, sizes[kind]), VELTOR_OK);
        CHECK_STATUS(veltor_channel_set_mode(dev, channel, kind, &record), VELTOR_OK);
        forget_trace();
        CHECK_STATUS(veltor_channel_send_mode(dev, channel), VELTOR_OK);
        CHECK(trace.requests == 1 && trace.first_bytes[0] == kind % 8);
    }
    close_line();
}

typedef struct reports {
    pthread_mutex_t lock;
    pthread_cond_t arrived;
    int count;
    int in_order;
    unsigned int next;
} reports;

static void VELTOR_CALL on_report(void* user, char channel, unsigned int counts, double seconds,
                                  long long time_ns) {
    reports* r = (reports*)user;
    (void)time_ns;
    pthread_mutex_lock(&r->lock);
    if (r->count == 0) { /* reports sent before the connection are lost */
        r->next = counts;
    }
    r->in_order &= channel == 'C' && counts == r->next && seconds == counts / 200e6;
    r->next = counts + 1;
    ++r->count;
    pthread_cond_broadcast(&r->arrived);
    pthread_mutex_unlock(&r->lock);
}

static void delay_reports_reach_the_callback(void) {
    const char* const args[] = {"--reports", "C:2:1000", NULL};
    reports r = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, 0, 1, 0};
    unsigned long count = 0;
    if (!open_line(args)) {
        return;
    }
    CHECK_STATUS(veltor_set_report_callback(dev, on_report, &r), VELTOR_OK);
    struct timespec bound;
    clock_gettime(CLOCK_REALTIME, &bound);
    bound.tv_sec += 30; /* a bound against a hang, not a timing check */
    pthread_mutex_lock(&r.lock);
    while (r.count < 5 && pthread_cond_timedwait(&r.arrived, &r.lock, &bound) == 0) {
    }
    pthread_mutex_unlock(&r.lock);
    /* Once it returns, no call of the callback is in progress or to come. */
    CHECK_STATUS(veltor_set_report_callback(dev, NULL, NULL), VELTOR_OK);
    CHECK(r.count >= 5 && r.in_order);
    CHECK_STATUS(veltor_channel_report_count(dev, 'C', &count), VELTOR_OK);
    CHECK(count >= (unsigned long)r.count);
    unsigned long long dropped = 1;
    CHECK_STATUS(veltor_dropped_reports(dev, &dropped), VELTOR_OK);
    CHECK(dropped == 0);
    CHECK_STATUS(veltor_dropped_reports(dev, NULL), VELTOR_INVALID_ARGUMENT);
    close_line();
}

static pthread_barrier_t both_failed;

static void* commands_on_one_device(void* arg) {
    const char letter = *(const char*)arg;
    int failures = 0;
    for (int i = 0; i < 40; ++i) {
        if (veltor_channel_force_trigger(dev, letter) != VELTOR_OK ||
            veltor_enable_outputs(dev) != VELTOR_OK) {
            fprintf(stderr, "thread %c, command %d failed\n", letter, i);
            ++failures;
        }
    }
    /* Each thread fails its own way, then reads its own message. */
    veltor_channel_enable(dev, (char)(letter + 8));
    pthread_barrier_wait(&both_failed);
    char expected[64];
    char message[256] = "";
    size_t needed = 0;
    sprintf(expected, "no channel %d", letter + 8);
    veltor_last_message(message, sizeof message, &needed); /* last_message() is not per thread */
    if (strstr(message, expected) == NULL) {
        fprintf(stderr, "thread %c: \"%s\", not \"%s\"\n", letter, message, expected);
        ++failures;
    }
    return (void*)(size_t)failures;
}

static void threads_share_one_device(void) {
    pthread_t threads[2];
    char letters[2] = {'A', 'B'};
    if (!open_line(NULL)) {
        return;
    }
    pthread_barrier_init(&both_failed, NULL, 2);
    for (int i = 0; i < 2; ++i) {
        pthread_create(&threads[i], NULL, commands_on_one_device, &letters[i]);
    }
    for (int i = 0; i < 2; ++i) {
        void* failures = NULL;
        pthread_join(threads[i], &failures);
        CHECK(failures == NULL);
    }
    pthread_barrier_destroy(&both_failed);
    CHECK(trace.requests >= 160 && trace.answers == trace.requests);
    close_line();
}

static void a_lost_line_asks_for_a_new_connection(void) {
    int connected = 1, outcome = 0;
    if (!open_line(NULL)) {
        return;
    }
    CHECK_STATUS(veltor_enable_outputs(dev), VELTOR_OK);
    sim_stop(&sim);
    CHECK_STATUS(veltor_enable_outputs(dev), VELTOR_NOT_CONNECTED);
    CHECK(strstr(last_message(), "enabling outputs") != NULL);
    CHECK_STATUS(veltor_last_outcome(dev, &outcome), VELTOR_OK);
    CHECK(outcome == VELTOR_OUTCOME_PORT_LOST);
    CHECK_STATUS(veltor_is_connected(dev, &connected), VELTOR_OK);
    CHECK(connected == 0);

    /* A new line, and the device works again. */
    if (sim_start(&sim, NULL) == 0) {
        CHECK_STATUS(veltor_connect_path(dev, sim.path, VELTOR_BAUD_115200), VELTOR_OK);
        CHECK_STATUS(veltor_enable_outputs(dev), VELTOR_OK);
        CHECK_STATUS(veltor_disconnect(dev), VELTOR_OK);
        CHECK_STATUS(veltor_enable_outputs(dev), VELTOR_NOT_CONNECTED);
    }
    close_line();
}

int main(int argc, char** argv) {
    static const test_case cases[] = {
        {"device_commands", device_commands_reach_the_instrument},
        {"channel_commands", channel_commands_send_their_frames},
        {"mode_kinds", every_mode_kind_is_sent},
        {"delay_reports", delay_reports_reach_the_callback},
        {"threads", threads_share_one_device},
        {"lost_line", a_lost_line_asks_for_a_new_connection},
    };
    return run_cases(cases, (int)(sizeof cases / sizeof cases[0]), argc, argv);
}
