/* What the C tests share: checks that count failures, and the simulated
 * instrument (the veltor-sim program) on a pseudo-terminal. */
#ifndef VELTOR_TESTS_C_CHECK_H
#define VELTOR_TESTS_C_CHECK_H

#include <stdio.h>
#include <string.h>
#include <sys/types.h>
#include <veltor/veltor_c.h>

extern int g_failures;

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
            ++g_failures;                                                            \
        }                                                                            \
    } while (0)

#define CHECK_STATUS(expr, expected)                                                      \
    do {                                                                                  \
        const int got_ = (int)(expr);                                                     \
        if (got_ != (int)(expected)) {                                                    \
            const char* name_ = "";                                                       \
            veltor_status_name(got_, &name_);                                             \
            fprintf(stderr, "%s:%d: %s gave %s (%s)\n", __FILE__, __LINE__, #expr, name_, \
                    last_message());                                                      \
            ++g_failures;                                                                 \
        }                                                                                 \
    } while (0)

/* The calling thread's last failure message (a static buffer). */
const char* last_message(void);

typedef struct sim_process {
    pid_t pid;
    char path[256];
} sim_process;

/* Starts veltor-sim with the extra arguments (NULL-terminated) and reads the
 * path of its terminal; 0 on success. */
int sim_start(sim_process* sim, const char* const* args);
void sim_stop(sim_process* sim);

typedef struct test_case {
    const char* name;
    void (*run)(void);
} test_case;

/* Runs the case named by argv[1] (every case without one); exit status 1 on
 * any failed check. */
int run_cases(const test_case* cases, int count, int argc, char** argv);

#endif
