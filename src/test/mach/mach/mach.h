// Test-only stand-in for the parts of the Mach interface that the macOS build
// uses besides its clock, so that its branches compile on Linux.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include <mach/mach_time.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TRUE 1

typedef unsigned int mach_port_t;
typedef mach_port_t thread_act_t;
typedef unsigned int mach_msg_type_number_t;
typedef unsigned int thread_policy_flavor_t;
typedef int* thread_policy_t;

struct thread_time_constraint_policy {
    uint32_t period;
    uint32_t computation;
    uint32_t constraint;
    int preemptible;
};
typedef struct thread_time_constraint_policy thread_time_constraint_policy_data_t;

#define THREAD_TIME_CONSTRAINT_POLICY 2
#define THREAD_TIME_CONSTRAINT_POLICY_COUNT \
    ((mach_msg_type_number_t)(sizeof(thread_time_constraint_policy_data_t) / sizeof(int)))

kern_return_t thread_policy_set(thread_act_t thread, thread_policy_flavor_t flavor, thread_policy_t policy_info,
                                mach_msg_type_number_t count);
mach_port_t pthread_mach_thread_np(pthread_t thread);

#ifdef __cplusplus
}
#endif
