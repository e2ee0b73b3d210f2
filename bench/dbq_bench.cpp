// DBQSingle against SQLite doing the same first-in first-out work: append N records of one
// size to a new file, then remove them oldest first, reading each as it goes, then append N
// again (the file now reuses its free blocks, the database its free pages). SQLite keeps the
// records in a table with an integer primary key, in WAL mode with synchronous=OFF, one autocommit
// transaction per append and per removal; neither side calls fsync, and both survive a
// process crash. The two sides alternate, ROUNDS times each (5 by default, or the
// environment's VFW_BENCH_ROUNDS), since the machine is shared; the summary prints the
// median operations per second of each side and their ratio, per phase.
#include <sqlite3.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_util.h"
#include "vfw/dbq.h"

namespace {

struct Workload {
    int records;
    int length;
};

const Workload WORKLOADS[] = {{200000, 256}, {50000, 1000}, {50000, 4000}};

// The rates of every round, per phase.
struct PhaseRates {
    std::vector<double> append;
    std::vector<double> remove;
    std::vector<double> reappend;
};

// Results by peer name and record length, for the ratio table.
std::map<std::string, std::map<int, PhaseRates>> g_rates;

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Phase times in seconds: append to a new file, remove all, append again.
void report(benchmark::State& state, const char* peer, const Workload& w, const double (&t)[3]) {
    PhaseRates& rates = g_rates[peer][w.length];
    rates.append.push_back(w.records / t[0]);
    rates.remove.push_back(w.records / t[1]);
    rates.reappend.push_back(w.records / t[2]);
    state.SetIterationTime(t[0] + t[1] + t[2]);
    state.counters["append_ops_per_s"] = w.records / t[0];
    state.counters["remove_ops_per_s"] = w.records / t[1];
    state.counters["reappend_ops_per_s"] = w.records / t[2];
}

void dbqSingle(benchmark::State& state, Workload w) {
    for (auto _ : state) {
        std::string path = bench::scratchPath("dbq-bench", "dbq");
        vfw::ByteArray record = bench::patternRecord(w.length);
        vfw::DBQSingle queue(512);
        if (!queue.open(path, 1, 0600, true, "bench")) {
            state.SkipWithError("open failed");
            return;
        }
        double t[3];
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < w.records; ++i) {
            queue.enqueue(record, uint32_t(w.length));
        }
        t[0] = seconds(start);
        start = std::chrono::steady_clock::now();
        for (int i = 0; i < w.records; ++i) {
            vfw::ByteArray data;
            uint32_t length = 0;
            queue.dequeue(data, length);
            benchmark::DoNotOptimize(data.get());
        }
        t[1] = seconds(start);
        if (!queue.isEmpty()) {
            state.SkipWithError("queue not drained");
        }
        start = std::chrono::steady_clock::now();
        for (int i = 0; i < w.records; ++i) {
            queue.enqueue(record, uint32_t(w.length));
        }
        t[2] = seconds(start);
        queue.destroy();
        report(state, "DBQSingle", w, t);
    }
}

void check(int rc, sqlite3* db, int expected = SQLITE_OK) {
    if (rc != expected) {
        throw std::runtime_error(sqlite3_errmsg(db));
    }
}

void sqliteFifo(benchmark::State& state, Workload w) {
    for (auto _ : state) {
        std::string path = bench::scratchPath("dbq-bench", "sqlite");
        vfw::ByteArray record = bench::patternRecord(w.length);
        sqlite3* db = nullptr;
        check(sqlite3_open(path.c_str(), &db), db);
        check(sqlite3_exec(db,
                           "PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF;"
                           "CREATE TABLE q(id INTEGER PRIMARY KEY, data BLOB NOT NULL);",
                           nullptr, nullptr, nullptr),
              db);
        sqlite3_stmt* insert = nullptr;
        sqlite3_stmt* remove = nullptr;
        check(sqlite3_prepare_v2(db, "INSERT INTO q(data) VALUES(?1)", -1, &insert, nullptr), db);
        check(sqlite3_prepare_v2(db,
                                 "DELETE FROM q WHERE id = (SELECT min(id) FROM q) RETURNING data",
                                 -1, &remove, nullptr),
              db);
        auto append = [&] {
            auto start = std::chrono::steady_clock::now();
            for (int i = 0; i < w.records; ++i) {
                check(sqlite3_bind_blob(insert, 1, record.get(), w.length, SQLITE_STATIC), db);
                check(sqlite3_step(insert), db, SQLITE_DONE);
                check(sqlite3_reset(insert), db);
            }
            return seconds(start);
        };
        double t[3];
        t[0] = append();
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < w.records; ++i) {
            check(sqlite3_step(remove), db, SQLITE_ROW);
            benchmark::DoNotOptimize(sqlite3_column_blob(remove, 0));
            check(sqlite3_step(remove), db, SQLITE_DONE);
            check(sqlite3_reset(remove), db);
        }
        t[1] = seconds(start);
        t[2] = append();
        sqlite3_finalize(insert);
        sqlite3_finalize(remove);
        sqlite3_close(db);
        std::remove(path.c_str());
        std::remove((path + "-wal").c_str());
        std::remove((path + "-shm").c_str());
        report(state, "SQLite", w, t);
    }
}

void printRatios(int rounds) {
    std::printf(
        "\nDBQSingle / SQLite, operations per second, medians of %d rounds (target >= 2.0x)\n",
        rounds);
    std::printf("%8s %6s  %-12s %10s %10s %7s\n", "records", "bytes", "phase", "DBQSingle",
                "SQLite", "ratio");
    for (const Workload& w : WORKLOADS) {
        const PhaseRates& ours = g_rates["DBQSingle"][w.length];
        const PhaseRates& theirs = g_rates["SQLite"][w.length];
        const struct {
            const char* name;
            double ours, theirs;
        } phases[] = {
            {"append", bench::median(ours.append), bench::median(theirs.append)},
            {"remove", bench::median(ours.remove), bench::median(theirs.remove)},
            {"append again", bench::median(ours.reappend), bench::median(theirs.reappend)}};
        for (const auto& phase : phases) {
            if (phase.ours > 0 && phase.theirs > 0) {
                std::printf("%8d %6d  %-12s %10.0f %10.0f %6.2fx\n", w.records, w.length,
                            phase.name, phase.ours, phase.theirs, phase.ours / phase.theirs);
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* configured = std::getenv("VFW_BENCH_ROUNDS");
    const int rounds =
        configured != nullptr && std::atoi(configured) > 0 ? std::atoi(configured) : 5;
    for (int round = 1; round <= rounds; ++round) {
        for (const Workload& w : WORKLOADS) {
            std::string suffix = "/" + std::to_string(w.records) + "x" + std::to_string(w.length) +
                                 "/round" + std::to_string(round);
            benchmark::RegisterBenchmark(("DBQSingle" + suffix).c_str(), dbqSingle, w)
                ->Iterations(1)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("SQLite" + suffix).c_str(), sqliteFifo, w)
                ->Iterations(1)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
        }
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    printRatios(rounds);
    return 0;
}
