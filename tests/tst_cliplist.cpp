#include "cliplist.h"

#include <QtTest>

class TestClipList : public QObject {
    Q_OBJECT
private slots:
    void placeholder() { QCOMPARE(recalculateTimeline(*new ClipList), 0); }
};

QTEST_GUILESS_MAIN(TestClipList)
#include "tst_cliplist.moc"
