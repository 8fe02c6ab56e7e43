/* budget.cpp: records per client per second. */
#include "budget.h"

int budget_take(record_budget *b, uint64_t now_ms)
{
    if (b->used == 0 || now_ms < b->window_ms || now_ms - b->window_ms >= BUDGET_WINDOW_MS) {
        b->window_ms = now_ms;
        b->used = 0;
    }
    b->used++;
    return b->used < RECORDS_PER_SECOND ? 1 : 0;
}

uint64_t budget_resume_ms(const record_budget *b)
{
    return b->window_ms + BUDGET_WINDOW_MS;
}
