// The processes of a distributed run. Built with QUILLET_MPI these are the
// ranks of MPI_COMM_WORLD; otherwise there is one process and the messages
// below are never sent. Only the main thread of each process calls these.
#pragma once

#include <string>

namespace quillet::process_group {

// Joins the group (MPI_Init_thread; the main thread alone talks to MPI) and
// leaves it. start() returns false when this build has no MPI.
bool start(int& argc, char**& argv);
void finish();

int rank();  // 0 for the first process (the one that reads and writes)
int size();  // number of processes, 1 without MPI

// Rank 0's bytes replace every other rank's.
void broadcast(std::string& bytes);

// Point-to-point transfer of one message of any length; messages from one
// rank arrive in the order they were sent.
void send(int to, const std::string& bytes);
void receive(int from, std::string& bytes);

// Ends every process of the group with this exit status.
[[noreturn]] void abort_all(int status);

}  // namespace quillet::process_group
