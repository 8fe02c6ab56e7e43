/* budget.h: how many records one client may have served per second.
 *
 * A client sends a few records in its life: its first, perhaps a
 * replacement, a state request now and then. One that sends them as fast as
 * it can would keep the server busy answering it, and the pointer of every
 * console would wait. Past its budget the server stops reading the client
 * until the second is over; what it sent waits in its socket meanwhile. */
#ifndef MOXD_BUDGET_H
#define MOXD_BUDGET_H

#include <cstdint>

constexpr uint32_t RECORDS_PER_SECOND = 100;
constexpr uint64_t BUDGET_WINDOW_MS = 1000;

struct record_budget {
    uint64_t window_ms; /* when the current second began */
    uint32_t used;      /* records served in it */
};

/* Counts one record served at now_ms. Returns 1 while the client may be
 * read on, 0 once the budget of this second is used up. */
int budget_take(record_budget *b, uint64_t now_ms);

/* When a client that used up its budget may be read again. */
uint64_t budget_resume_ms(const record_budget *b);

#endif /* MOXD_BUDGET_H */
