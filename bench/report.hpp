#pragma once

// The benchmark's table: one row per measured quantity, found by its name,
// with a value per contender and round; printed as medians side by side,
// with the daemon's ratio to socat and to no relay.

#include <array>
#include <deque>
#include <string>
#include <vector>

namespace bench {

struct row {
    std::string name;
    const char *format; // of one cell, 10 wide
    bool higher_is_better;
    std::array<std::vector<double>, 3> values; // per contender; -1: not measured
};

class table {
  public:
    // Adds a row at the end of the table.
    void add(const std::string &name, const char *format, bool higher_is_better);
    // The row of this name; it must have been added.
    row &at(const std::string &name);
    void print() const;

  private:
    std::deque<row> rows_; // stable references while rows are added
};

} // namespace bench
