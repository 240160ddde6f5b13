#pragma once

// The benchmark's table: one row per measured quantity, found by its name,
// with a value per contender and round; printed as medians side by side,
// with the daemon's ratio to socat and to no relay, and whether that ratio
// reaches the row's target.

#include "contenders.hpp"

#include <array>
#include <deque>
#include <string>
#include <vector>

namespace bench {

struct row {
    std::string name;
    const char *format; // of one cell, 10 wide
    bool higher_is_better;
    double target; // ptybridge/socat to reach: at least, or at most; 0 for none
    std::array<std::vector<double>, 3> values; // per contender; -1: not measured
};

class table {
  public:
    // Adds a row at the end of the table.
    void add(const std::string &name, const char *format, bool higher_is_better, double target = 0);
    // A row printed after the others: the geometric mean of the ratios of
    // the rows that are higher-is-better and have a target.
    void add_mean(const std::string &name, double target);
    // The row of this name; it must have been added.
    row &at(const std::string &name);
    void print() const;

  private:
    std::deque<row> rows_; // stable references while rows are added
    std::string mean_name_;
    double mean_target_ = 0;
};

// Where the time goes: per case, what the kernel counted for each relay
// (ptybridge, socat) over that case's transfers.
void print_breakdown(const std::vector<std::string> &cases,
                     const std::vector<std::array<relay_counts, 2>> &spent);

} // namespace bench
