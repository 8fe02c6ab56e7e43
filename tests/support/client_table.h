// The client module's table as the tests look at it (needs client.o).
#pragma once

#include "client.h"

// The clients linked in all the stacks of cinfo.
int linked_clients();

// The stack of cinfo that holds ci, or -1.
int stack_of(const client_info *ci);

// Drops every linked client as a server would: closes its socket (unless
// the module already has, fd -1) and removes it.
void drop_all_clients();
