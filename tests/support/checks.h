#pragma once

#include "support/tree.h"

#include <QTest>

// Compares two string lists whole, saying what is missing and what is not
// expected when they differ.
#define COMPARE_LISTS(actual, expected) \
    do { \
        const QStringList actualList = (actual); \
        const QStringList expectedList = (expected); \
        QVERIFY2(actualList == expectedList, \
                 qPrintable(Tree::difference(actualList, expectedList))); \
    } while (false)

// A helper that QFAILs only leaves the helper; the test stops here then.
#define RETURN_IF_FAILED() \
    do { \
        if (QTest::currentTestFailed()) \
            return; \
    } while (false)
