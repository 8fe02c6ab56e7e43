// A stand-in for moxd's console operations (vt.h), for tests on a machine
// whose consoles must not be touched: it answers from a script (which
// console is shown, sizes, modes, shift state, mouse reporting, owners) and
// records every operation the server performs, instead of any ioctl.
#pragma once

#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

struct FakeVtOp {
    std::string what; // "pointer", "select", "paste", "report", "clear"
    int vc;           // the console the operation went to
    int x1, y1, x2, y2;
    int arg; // unit of a selection, code of a report
};

struct FakeVt {
    int active = 1;                          // the console shown
    std::map<int, std::pair<int, int>> size; // console -> (cols, rows); default 80x25
    std::map<int, int> graphics;             // console -> 1 in graphics mode
    int shift = 0;                           // keyboard shift state
    std::map<int, int> reporting;            // console -> mouse reporting switched on
    std::map<int, uid_t> owner;              // console -> owner of its tty (root when absent)
    std::pair<int, int> blank = {1, 1};      // a blank cell of the console shown; 0 for none
    std::vector<FakeVtOp> ops;
    int opens = 0;      // consoles opened
    int shift_asks = 0; // times the shift state was asked
};

extern FakeVt fake_vt;

// Back to one 80x25 text console shown, nothing recorded.
void fake_vt_reset();
