// tembrix_floor: the bare-C floor of the benchmark. It taps a schedule with the
// library's algorithm and no JVM, so that the JVM contenders can be set against
// what plain nanosleep on this machine achieves.
//
//   tembrix_floor schedule default|1 [rt]  < offsets
//       Reads beat offsets (integer nanoseconds from t0, one per line) on
//       standard input and taps them from a fresh pthread: t0 is read in that
//       thread, and each beat is one nanosleep of (due - now) split into seconds
//       and nanoseconds, on CLOCK_MONOTONIC; an overdue beat makes no syscall.
//       With "1" the thread's timer slack is set to 1 ns first, as the library
//       does; with "default" it keeps what it inherited. With "rt" the thread
//       first asks for SCHED_FIFO at the lowest priority, reset on fork, right
//       after it reads t0, as the library does; where that is refused it goes
//       on as it is. Prints
//           slack_ns <the tapping thread's timer slack>
//           policy <the tapping thread's policy: 0 SCHED_OTHER, 1 SCHED_FIFO>
//           t0_ns <t0 minus the start point>
//           lateness_ns <tap time minus (start point + offset)>   (one per beat)
//           cpu_ns <the tapping thread's CPU time from its first tap to its last>
//       where the start point is read in the caller right before pthread_create.
//       The thread reads its CPU clock right after it records the first beat
//       and the last, as the JVM contenders do; cpu_ns is 0 for a single beat.
//
//   tembrix_floor overdue <beats> syscall|nosyscall
//       Runs <beats> beats that are all due at t0, so all overdue, recording the
//       clock at each; with "syscall" each beat also makes the nanosleep call
//       for its negative delay, which fails at once with EINVAL. Prints
//           beats <n>
//           elapsed_ns <first beat to last>
//           einval <how many nanosleep calls failed with EINVAL>
//
//   tembrix_floor stop <count> cancel|condvar
//       Starts <count> threads in turn, each asleep towards a beat a minute
//       away, and after 2 ms stops and joins it, with no JVM. With "cancel" the
//       thread sleeps in nanosleep and is stopped with pthread_cancel, as the
//       library stops its thread; with "condvar" it waits in
//       pthread_cond_timedwait on CLOCK_MONOTONIC and is stopped by a flag and
//       pthread_cond_signal. Prints
//           stop_ns <start of the stop to pthread_join's return>   (one per stop)
//
// Exit status 2 on a usage error, 1 on a system error.

#define _GNU_SOURCE
#include <errno.h>
#include <inttypes.h>
#include <pthread.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <time.h>

#define NSEC_PER_SEC INT64_C(1000000000)
#define MIN_TIMER_SLACK_NSEC 1UL
#define FAR_BEAT_NSEC (INT64_C(60) * NSEC_PER_SEC)
#define SLEEP_BEFORE_STOP_NSEC INT64_C(2000000)

static int64_t nowNsec(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * NSEC_PER_SEC + now.tv_nsec;
}

static int64_t threadCpuNsec(void) {
    struct timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return (int64_t)now.tv_sec * NSEC_PER_SEC + now.tv_nsec;
}

// The request for a delay, split as the library splits it. A negative delay
// gives a negative field, which nanosleep rejects with EINVAL.
static struct timespec sleepRequest(int64_t delayNsec) {
    struct timespec request;
    request.tv_sec = (time_t)(delayNsec / NSEC_PER_SEC);
    request.tv_nsec = (long)(delayNsec % NSEC_PER_SEC);
    return request;
}

// --- schedule ----------------------------------------------------------------

struct Run {
    const int64_t* offsets;
    int64_t* taps;
    size_t count;
    int minimalSlack;
    int realTime;
    int64_t t0;
    long slack;
    int policy;
    int64_t cpuFirst;
    int64_t cpuLast;
};

static void* tapSchedule(void* argument) {
    struct Run* run = argument;
    const int64_t t0 = nowNsec();
    if (run->realTime) {
        struct sched_param param = {.sched_priority = sched_get_priority_min(SCHED_FIFO)};
        sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &param);
    }
    if (run->minimalSlack) {
        prctl(PR_SET_TIMERSLACK, MIN_TIMER_SLACK_NSEC, 0, 0, 0);
    }
    run->t0 = t0;
    run->slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    run->policy = sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
    for (size_t i = 0; i < run->count; ++i) {
        const int64_t due = t0 + run->offsets[i];
        const int64_t delay = due - nowNsec();
        if (delay > 0) {
            const struct timespec request = sleepRequest(delay);
            nanosleep(&request, NULL);
        }
        run->taps[i] = nowNsec();
        if (i == 0) {
            run->cpuFirst = threadCpuNsec();
        }
        if (i + 1 == run->count) {
            run->cpuLast = threadCpuNsec();
        }
    }
    return NULL;
}

static int readOffsets(int64_t** offsets, size_t* count) {
    size_t capacity = 1024;
    size_t n = 0;
    int64_t* values = malloc(capacity * sizeof *values);
    if (values == NULL) {
        return -1;
    }
    int64_t value;
    while (scanf("%" SCNd64, &value) == 1) {
        if (value < 0) {
            fprintf(stderr, "tembrix_floor: negative offset %" PRId64 "\n", value);
            free(values);
            return -1;
        }
        if (n == capacity) {
            capacity *= 2;
            int64_t* grown = realloc(values, capacity * sizeof *values);
            if (grown == NULL) {
                free(values);
                return -1;
            }
            values = grown;
        }
        values[n++] = value;
    }
    if (!feof(stdin)) {
        fprintf(stderr, "tembrix_floor: standard input must hold integer offsets in nanoseconds\n");
        free(values);
        return -1;
    }
    *offsets = values;
    *count = n;
    return 0;
}

static int runSchedule(int minimalSlack, int realTime) {
    struct Run run = {0};
    int64_t* offsets;
    if (readOffsets(&offsets, &run.count) != 0) {
        return 1;
    }
    run.offsets = offsets;
    run.minimalSlack = minimalSlack;
    run.realTime = realTime;
    run.taps = calloc(run.count > 0 ? run.count : 1, sizeof *run.taps);
    if (run.taps == NULL) {
        perror("tembrix_floor: calloc");
        return 1;
    }
    pthread_t thread;
    const int64_t start = nowNsec();
    const int error = pthread_create(&thread, NULL, tapSchedule, &run);
    if (error != 0) {
        fprintf(stderr, "tembrix_floor: pthread_create: %s\n", strerror(error));
        return 1;
    }
    pthread_join(thread, NULL);

    printf("slack_ns %ld\n", run.slack);
    printf("policy %d\n", run.policy);
    printf("t0_ns %" PRId64 "\n", run.t0 - start);
    for (size_t i = 0; i < run.count; ++i) {
        printf("lateness_ns %" PRId64 "\n", run.taps[i] - (start + offsets[i]));
    }
    printf("cpu_ns %" PRId64 "\n", run.count > 1 ? run.cpuLast - run.cpuFirst : 0);
    free(run.taps);
    free(offsets);
    return fflush(stdout) == 0 ? 0 : 1;
}

// --- overdue -----------------------------------------------------------------

static int runOverdue(long beats, int syscall) {
    int64_t* taps = malloc((size_t)beats * sizeof *taps);
    if (taps == NULL) {
        perror("tembrix_floor: malloc");
        return 1;
    }
    long einval = 0;
    const int64_t t0 = nowNsec();
    for (long i = 0; i < beats; ++i) {
        const int64_t delay = t0 - nowNsec();
        if (syscall) {
            const struct timespec request = sleepRequest(delay);
            if (nanosleep(&request, NULL) != 0 && errno == EINVAL) {
                ++einval;
            }
        }
        taps[i] = nowNsec();
    }
    printf("beats %ld\n", beats);
    printf("elapsed_ns %" PRId64 "\n", taps[beats - 1] - taps[0]);
    printf("einval %ld\n", einval);
    free(taps);
    return fflush(stdout) == 0 ? 0 : 1;
}

// --- stop --------------------------------------------------------------------

static void* sleepTowardsFarBeat(void* argument) {
    (void)argument;
    const struct timespec request = sleepRequest(FAR_BEAT_NSEC);
    nanosleep(&request, NULL);
    return NULL;
}

struct Waiter {
    pthread_mutex_t lock;
    pthread_cond_t wake;
    int stop;
};

static void* waitTowardsFarBeat(void* argument) {
    struct Waiter* waiter = argument;
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += FAR_BEAT_NSEC / NSEC_PER_SEC;
    pthread_mutex_lock(&waiter->lock);
    int result = 0;
    while (!waiter->stop && result == 0) {
        result = pthread_cond_timedwait(&waiter->wake, &waiter->lock, &deadline);
    }
    pthread_mutex_unlock(&waiter->lock);
    return NULL;
}

static int runStops(long count, int useCondvar) {
    const struct timespec pause = sleepRequest(SLEEP_BEFORE_STOP_NSEC);
    struct Waiter waiter;
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_mutex_init(&waiter.lock, NULL);
    pthread_cond_init(&waiter.wake, &attributes);
    for (long i = 0; i < count; ++i) {
        pthread_t thread;
        waiter.stop = 0;
        const int error = pthread_create(&thread, NULL, useCondvar ? waitTowardsFarBeat : sleepTowardsFarBeat,
                                         &waiter);
        if (error != 0) {
            fprintf(stderr, "tembrix_floor: pthread_create: %s\n", strerror(error));
            return 1;
        }
        nanosleep(&pause, NULL);
        const int64_t start = nowNsec();
        if (useCondvar) {
            pthread_mutex_lock(&waiter.lock);
            waiter.stop = 1;
            pthread_cond_signal(&waiter.wake);
            pthread_mutex_unlock(&waiter.lock);
        } else {
            pthread_cancel(thread);
        }
        pthread_join(thread, NULL);
        printf("stop_ns %" PRId64 "\n", nowNsec() - start);
    }
    return fflush(stdout) == 0 ? 0 : 1;
}

static int usage(void) {
    fputs("usage: tembrix_floor schedule default|1 [rt]  < offsets-in-ns\n"
          "       tembrix_floor overdue <beats> syscall|nosyscall\n"
          "       tembrix_floor stop <count> cancel|condvar\n",
          stderr);
    return 2;
}

int main(int argc, char** argv) {
    if ((argc == 3 || argc == 4) && strcmp(argv[1], "schedule") == 0) {
        const int realTime = argc == 4;
        if (realTime && strcmp(argv[3], "rt") != 0) {
            return usage();
        }
        if (strcmp(argv[2], "default") == 0) {
            return runSchedule(0, realTime);
        }
        if (strcmp(argv[2], "1") == 0) {
            return runSchedule(1, realTime);
        }
        return usage();
    }
    if (argc == 4 && strcmp(argv[1], "overdue") == 0) {
        char* end;
        const long beats = strtol(argv[2], &end, 10);
        if (*end != '\0' || beats < 2) {
            return usage();
        }
        if (strcmp(argv[3], "syscall") == 0) {
            return runOverdue(beats, 1);
        }
        if (strcmp(argv[3], "nosyscall") == 0) {
            return runOverdue(beats, 0);
        }
        return usage();
    }
    if (argc == 4 && strcmp(argv[1], "stop") == 0) {
        char* end;
        const long count = strtol(argv[2], &end, 10);
        if (*end != '\0' || count < 1) {
            return usage();
        }
        if (strcmp(argv[3], "cancel") == 0) {
            return runStops(count, 0);
        }
        if (strcmp(argv[3], "condvar") == 0) {
            return runStops(count, 1);
        }
        return usage();
    }
    return usage();
}
