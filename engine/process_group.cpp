#include "engine/process_group.h"

#include <time.h>

#include <climits>
#include <cstdlib>
#include <stdexcept>

#ifdef QUILLET_MPI
#include <mpi.h>
#endif

namespace quillet::process_group {

#ifdef QUILLET_MPI

namespace {

bool joined = false;

void check(int rc, const char* what) {
    if (rc != MPI_SUCCESS) throw std::runtime_error(std::string("MPI: ") + what + " failed");
}

}  // namespace

bool start(int& argc, char**& argv) {
    int provided = 0;
    check(MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided), "MPI_Init_thread");
    joined = true;
    return true;
}

void finish() {
    if (joined) MPI_Finalize();
    joined = false;
}

int rank() {
    if (!joined) return 0;
    int r = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &r);
    return r;
}

int size() {
    if (!joined) return 1;
    int n = 1;
    MPI_Comm_size(MPI_COMM_WORLD, &n);
    return n;
}

void broadcast(std::string& bytes) {
    if (size() < 2) return;
    unsigned long long n = bytes.size();
    check(MPI_Bcast(&n, 1, MPI_UNSIGNED_LONG_LONG, 0, MPI_COMM_WORLD), "MPI_Bcast");
    if (n > unsigned(INT_MAX)) throw std::runtime_error("MPI: a broadcast of more than 2 GB");
    bytes.resize(n);
    check(MPI_Bcast(bytes.data(), int(n), MPI_CHAR, 0, MPI_COMM_WORLD), "MPI_Bcast");
}

// Open MPI's blocking calls wait by spinning, which would take a core from
// this process's own workers: sends and receives are polled for instead,
// with a short sleep between looks.
void pause_briefly() {
    const timespec pause{0, 200000};  // 0.2 ms
    nanosleep(&pause, nullptr);
}

void send(int to, const std::string& bytes) {
    if (bytes.size() > unsigned(INT_MAX)) throw std::runtime_error("MPI: a message of more than 2 GB");
    MPI_Request request;
    check(MPI_Isend(bytes.data(), int(bytes.size()), MPI_CHAR, to, 0, MPI_COMM_WORLD, &request), "MPI_Isend");
    for (int done = 0;;) {
        check(MPI_Test(&request, &done, MPI_STATUS_IGNORE), "MPI_Test");
        if (done) return;
        pause_briefly();
    }
}

void receive(int from, std::string& bytes) {
    MPI_Status st;
    for (int arrived = 0;;) {
        check(MPI_Iprobe(from, 0, MPI_COMM_WORLD, &arrived, &st), "MPI_Iprobe");
        if (arrived) break;
        pause_briefly();
    }
    int n = 0;
    check(MPI_Get_count(&st, MPI_CHAR, &n), "MPI_Get_count");
    bytes.resize(std::size_t(n));
    check(MPI_Recv(bytes.data(), n, MPI_CHAR, from, 0, MPI_COMM_WORLD, MPI_STATUS_IGNORE), "MPI_Recv");
}

void abort_all(int status) {
    if (joined) MPI_Abort(MPI_COMM_WORLD, status);
    std::exit(status);
}

#else

bool start(int&, char**&) { return false; }
void finish() {}
int rank() { return 0; }
int size() { return 1; }
void broadcast(std::string&) {}
void send(int, const std::string&) { throw std::logic_error("process_group::send without MPI"); }
void receive(int, std::string&) { throw std::logic_error("process_group::receive without MPI"); }
void abort_all(int status) { std::exit(status); }

#endif

}  // namespace quillet::process_group
