#pragma once

#include <QString>
#include <QStringList>

// What the command line asked for.
struct BenchOptions
{
    int runs = 5;
    bool quick = false;
    QString dir; // where the temporary directory is made
    QString cases = QStringLiteral("ABCDEFG"); // L only when asked for: it takes minutes

    bool wants(char name) const { return cases.contains(QLatin1Char(name)); }
};

// The sizes of the trees; the quick ones only show that everything works.
struct CaseSizes
{
    int aFiles;
    int aDirectories;
    qint64 aFileBytes;
    int bFiles;
    int bDirectories;
    qint64 bMinBytes;
    qint64 bMaxBytes;
    int cFiles;
    qint64 cFileBytes;
    double dChangedShare;
    int fFiles;
    int gFiles;
    qint64 eLongRounds;
    int lFiles;
};

CaseSizes sizesFor(bool quick);

// The arguments after the program name. Returns false with *error set on a
// bad one; *note tells about a value that was raised to its minimum.
bool parseOptions(const QStringList &arguments, BenchOptions *options, QString *error,
                  QString *note);
QString usage();
