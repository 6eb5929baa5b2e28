/* A Windows host program in C for the Wine tests: it drives one device
 * through veltor.dll's C interface (veltor/veltor_c.h), one request per
 * line on standard input, and answers each with one line on standard output
 * that starts with the request's first word; statuses are the numbers of
 * veltor_status. WineTests.cpp sends the requests.
 *
 *   open PORT BAUD | openpath NAME BAUD   connect           -> open STATUS
 *   close                                  disconnect        -> close STATUS connected=N
 *   dev NAME            enable, disable, lock, unlock, resetall, setclock, updateall
 *   ch L NAME           enable, disable, trigger, reset, setmode
 *   mode L DELAY DURATION   a delay-and-duration mode on channel L
 *   query L             -> query L STATUS SECONDS
 *   reports N MS        waits for N delay reports -> reports GOT CHANNEL COUNTS
 *   trace               -> trace REQUESTS ANSWERS
 *   message             the thread's last failure message
 *   quit
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <veltor/veltor_c.h>
#include <windows.h>

static veltor_device* g_device;
static HANDLE g_reported; /* set on every delay report */
static volatile LONG g_reports, g_requests, g_answers;
static volatile LONG g_lastCounts;
static volatile char g_lastChannel = '-';

static void VELTOR_CALL on_report(void* user, char channel, unsigned int counts, double seconds,
                                  long long time_ns) {
    (void)user, (void)seconds, (void)time_ns;
    g_lastChannel = channel;
    InterlockedExchange(&g_lastCounts, (LONG)counts);
    InterlockedIncrement(&g_reports);
    SetEvent(g_reported);
}

static void VELTOR_CALL on_trace(void* user, const veltor_trace_event* event) {
    (void)user;
    if (event->kind == VELTOR_TRACE_REQUEST) {
        InterlockedIncrement(&g_requests);
    } else if (event->kind == VELTOR_TRACE_ANSWER) {
        InterlockedIncrement(&g_answers);
    }
}

static veltor_status device_command(const char* name) {
    static const struct {
        const char* name;
        veltor_status(VELTOR_CALL* command)(veltor_device*);
    } commands[] = {{"enable", veltor_enable_outputs}, {"disable", veltor_disable_outputs},
                    {"lock", veltor_lock_panel},       {"unlock", veltor_unlock_panel},
                    {"resetall", veltor_reset_all},    {"setclock", veltor_set_clock},
                    {"updateall", veltor_update_all}};
    for (size_t i = 0; i < sizeof commands / sizeof commands[0]; ++i) {
        if (strcmp(name, commands[i].name) == 0) {
            return commands[i].command(g_device);
        }
    }
    return VELTOR_INVALID_ARGUMENT;
}

static veltor_status channel_command(char channel, const char* name) {
    static const struct {
        const char* name;
        veltor_status(VELTOR_CALL* command)(veltor_device*, char);
    } commands[] = {{"enable", veltor_channel_enable},
                    {"disable", veltor_channel_disable},
                    {"trigger", veltor_channel_force_trigger},
                    {"reset", veltor_channel_reset},
                    {"setmode", veltor_channel_send_mode}};
    for (size_t i = 0; i < sizeof commands / sizeof commands[0]; ++i) {
        if (strcmp(name, commands[i].name) == 0) {
            return commands[i].command(g_device, channel);
        }
    }
    return VELTOR_INVALID_ARGUMENT;
}

static void answer(const char* request) {
    char verb[32] = "", a[300] = "", b[64] = "", c[64] = "";
    const int words = sscanf(request, "%31s %299s %63s %63s", verb, a, b, c);
    if (words < 1) {
        printf("?\n");
    } else if (strcmp(verb, "open") == 0 && words == 3) {
        printf("open %d\n", veltor_connect_port(g_device, atoi(a), atoi(b)));
    } else if (strcmp(verb, "openpath") == 0 && words == 3) {
        printf("openpath %d\n", veltor_connect_path(g_device, a, atoi(b)));
    } else if (strcmp(verb, "close") == 0) {
        int connected = -1;
        const veltor_status status = veltor_disconnect(g_device);
        veltor_is_connected(g_device, &connected);
        printf("close %d connected=%d\n", status, connected);
    } else if (strcmp(verb, "dev") == 0 && words == 2) {
        printf("dev %s %d\n", a, device_command(a));
    } else if (strcmp(verb, "ch") == 0 && words == 3) {
        printf("ch %s %s %d\n", a, b, channel_command(a[0], b));
    } else if (strcmp(verb, "mode") == 0 && words == 4) {
        veltor_mode_delay mode;
        veltor_status status = veltor_mode_defaults(VELTOR_MODE_DELAY, &mode, sizeof mode);
        mode.delay = atof(b);
        mode.duration = atof(c);
        if (status == VELTOR_OK) {
            status = veltor_channel_set_mode(g_device, a[0], VELTOR_MODE_DELAY, &mode);
        }
        printf("mode %s %d\n", a, status);
    } else if (strcmp(verb, "query") == 0 && words == 2) {
        double seconds = 0.0;
        const veltor_status status = veltor_channel_query(g_device, a[0], &seconds);
        printf("query %s %d %.17g\n", a, status, seconds);
    } else if (strcmp(verb, "reports") == 0 && words == 3) {
        const DWORD start = GetTickCount();
        const DWORD bound = (DWORD)atol(b);
        while (g_reports < atol(a) && GetTickCount() - start < bound) {
            WaitForSingleObject(g_reported, bound - (GetTickCount() - start));
        }
        printf("reports %ld %c %ld\n", (long)g_reports, g_lastChannel, (long)g_lastCounts);
    } else if (strcmp(verb, "trace") == 0) {
        printf("trace %ld %ld\n", (long)g_requests, (long)g_answers);
    } else if (strcmp(verb, "message") == 0) {
        char text[512] = "";
        size_t needed = 0;
        veltor_last_message(text, sizeof text, &needed);
        printf("message %s\n", text);
    } else {
        printf("%s ?\n", verb);
    }
    fflush(stdout);
}

int main(void) {
    char line[512];
    g_reported = CreateEventA(NULL, FALSE, FALSE, NULL);
    if (g_reported == NULL || veltor_create(&g_device) != VELTOR_OK ||
        veltor_set_report_callback(g_device, on_report, NULL) != VELTOR_OK ||
        veltor_set_trace(g_device, on_trace, NULL) != VELTOR_OK) {
        fprintf(stderr, "cannot create the device\n");
        return 1;
    }
    while (fgets(line, sizeof line, stdin) != NULL) {
        line[strcspn(line, "\r\n")] = '\0';
        if (strcmp(line, "quit") == 0) {
            printf("quit\n");
            fflush(stdout);
            break;
        }
        answer(line);
    }
    veltor_destroy(g_device);
    CloseHandle(g_reported);
    return 0;
}
