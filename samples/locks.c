/* A sample with a lock-order bug for memvex -i datarace: one thread takes
 * the account lock and then the log lock, another takes them the other way
 * round. Started one after the other they never deadlock, so natively the
 * program runs fine; run at the same time they could. */
#include <pthread.h>
#include <stdio.h>

static pthread_mutex_t account = PTHREAD_MUTEX_INITIALIZER;
static pthread_mutex_t journal = PTHREAD_MUTEX_INITIALIZER;
static int balance;

static void* deposit(void* amount) {
    pthread_mutex_lock(&account);
    pthread_mutex_lock(&journal);
    balance += *(int*)amount;
    pthread_mutex_unlock(&journal);
    pthread_mutex_unlock(&account);
    return NULL;
}

static void* audit(void* unused) {
    (void)unused;
    pthread_mutex_lock(&journal);
    pthread_mutex_lock(&account);
    printf("balance %d\n", balance);
    pthread_mutex_unlock(&account);
    pthread_mutex_unlock(&journal);
    return NULL;
}

int main(void) {
    pthread_t thread;
    int amount = 42;
    pthread_create(&thread, NULL, deposit, &amount);
    pthread_join(thread, NULL);
    pthread_create(&thread, NULL, audit, NULL);
    pthread_join(thread, NULL);
    return 0;
}
