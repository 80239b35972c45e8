#pragma once

#include <QString>

#include <stdexcept>

// Something that stops the benchmark: a tool that failed or is missing, a
// copy that came out wrong, a tree that could not be written. A wrong copy
// must never be timed as if it were a right one.
class BenchError : public std::runtime_error
{
public:
    explicit BenchError(const QString &what)
        : std::runtime_error(what.toStdString())
    { }
};
