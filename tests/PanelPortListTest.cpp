// The panel's port list: each entry says what the port is, and the open list is wide
// enough for the longest name while the closed box keeps its size.
#include "GuiTestSupport.h"
#include "link/Simulator.h"
#include "panel/PeiZhi.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QtTest>

#include <cstdlib>

using namespace cpuconfig;

class PanelPortListTest : public QObject {
    Q_OBJECT

private slots:
    void entriesDescribeTheirPortAndTheListFitsTheLongestName() {
        test::prepareTestApplication();
        // The Windows style opens the list at the width of the box, as the technicians'
        // machines do; Fusion would widen it by itself.
        QApplication::setStyle(QStringLiteral("Windows"));
        QTemporaryDir runtime;
        ::setenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit().constData(), 1);
        SimulatorOptions o;
        o.screen = 5;
        o.model = "QX-9";
        auto sim = Simulator::create(o);
        QVERIFY(sim);
        const auto link = (*sim)->registerPort("PRODUCTION-LINE-ADAPTER-7");
        QVERIFY(link);

        TPeiZhiForm panel;
        panel.show();
        auto* box = panel.findChild<QComboBox*>(QStringLiteral("cbb2"));
        const int row = box->findText(QString::fromStdString(link->string()));
        QVERIFY(row >= 0);
        const QString tip = box->itemData(row, Qt::ToolTipRole).toString();
        QVERIFY2(tip.contains(QStringLiteral("simulated card, screen 5, model QX-9")),
                 qPrintable(tip));

        box->showPopup();
        QAbstractItemView* view = box->view();
        QTRY_VERIFY(view->isVisible());
        const QRect item = view->visualRect(box->model()->index(row, 0));
        QVERIFY2(item.width() > view->fontMetrics().horizontalAdvance(box->itemText(row)),
                 qPrintable(QString::number(item.width())));
        box->hidePopup();
        QCOMPARE(box->size(), QSize(73, 21));
    }
};

QTEST_MAIN(PanelPortListTest)
#include "PanelPortListTest.moc"
