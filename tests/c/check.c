#define _POSIX_C_SOURCE 200809L
#include "check.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

int g_failures = 0;

/* The calling thread's last message, in a buffer shared by all threads. */
const char* last_message(void) {
    static char text[1024];
    size_t needed = 0;
    text[0] = '\0';
    veltor_last_message(text, sizeof text, &needed);
    return text;
}

int sim_start(sim_process* sim, const char* const* args) {
    const char* argv[16] = {VELTOR_SIM_PROGRAM};
    int pipe_fds[2];
    int n = 1;
    while (args != NULL && args[n - 1] != NULL && n < 15) {
        argv[n] = args[n - 1];
        ++n;
    }
    argv[n] = NULL;
    if (pipe(pipe_fds) != 0) {
        return -1;
    }
    sim->pid = fork();
    if (sim->pid == 0) {
        dup2(pipe_fds[1], STDOUT_FILENO);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        execv(argv[0], (char* const*)argv);
        _exit(127);
    }
    close(pipe_fds[1]);
    FILE* out = fdopen(pipe_fds[0], "r");
    /* The simulator prints its path once its terminal is open. */
    const int ok = sim->pid > 0 && out != NULL && fgets(sim->path, sizeof sim->path, out) != NULL;
    if (out != NULL) {
        fclose(out);
    }
    sim->path[strcspn(sim->path, "\n")] = '\0';
    if (!ok) {
        sim_stop(sim);
        return -1;
    }
    return 0;
}

void sim_stop(sim_process* sim) {
    if (sim->pid > 0) {
        kill(sim->pid, SIGTERM);
        waitpid(sim->pid, NULL, 0);
        sim->pid = 0;
    }
}

int run_cases(const test_case* cases, int count, int argc, char** argv) {
    int ran = 0;
    for (int i = 0; i < count; ++i) {
        if (argc < 2 || strcmp(argv[1], cases[i].name) == 0) {
            const int before = g_failures;
            cases[i].run();
            printf("%s: %s\n", g_failures == before ? "ok" : "FAILED", cases[i].name);
            ++ran;
        }
    }
    if (ran == 0) {
        fprintf(stderr, "no case %s\n", argv[1]);
        return 2;
    }
    return g_failures == 0 ? 0 : 1;
}
