// The window's controls: names, captions, positions (in twips, 15 to a
// pixel), visibility, overlay order, colours, fonts and tab order.
#include <QFont>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStyledItemDelegate>
#include <QTextBrowser>

#include "app/clicklabel.h"
#include "app/field_edit.h"
#include "app/form1.h"

namespace trellick::app {
namespace {

constexpr int kTwipsPerPixel = 15;

QRect twips(int left, int top, int width, int height) {
  return QRect(left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel,
               height / kTwipsPerPixel);
}

template <class W>
W* place(W* w, const char* name, QRect rect) {
  w->setObjectName(QString::fromLatin1(name));
  w->setGeometry(rect);
  return w;
}

QLabel* label(QWidget* parent, const char* name, const QString& caption, QRect rect) {
  auto* l = place(new QLabel(caption, parent), name, rect);
  l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  l->setWordWrap(true);
  return l;
}

ClickLabel* clickLabel(QWidget* parent, const char* name, const QString& caption, QRect rect) {
  auto* l = place(new ClickLabel(caption, parent), name, rect);
  l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  l->setCursor(Qt::PointingHandCursor);
  return l;
}

QGroupBox* frame(QWidget* parent, const char* name, const QString& caption, QRect rect) {
  return place(new QGroupBox(caption, parent), name, rect);
}

// A field whose long text shows its start and end, and whole in its tip.
FieldEdit* textBox(QWidget* parent, const char* name, QRect rect) {
  return place(new FieldEdit(parent), name, rect);
}

// The table lists' rows: high enough for what the face draws below its
// descent line (an underscore, in some faces), so no name loses a stroke.
class TableNameDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    // With uniform item sizes the list asks for its first item at every
    // layout, and a run lays the result list out again for each table
    // found: the style's measure of the same text is kept.
    const QString text = index.data(Qt::DisplayRole).toString();
    if (sized_ && text == sizedText_ && option.font == sizedFont_) return size_;
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setHeight(std::max(size.height(), neededHeight(option.font)));
    sizedText_ = text;
    sizedFont_ = option.font;
    size_ = size;
    sized_ = true;
    return size;
  }

 private:
  // The glyphs' bounds are shaped text: measured once per font, not at
  // every layout of a list that grows during a run.
  int neededHeight(const QFont& font) const {
    if (measured_ && font == measuredFont_) return needed_;
    const QFontMetrics fm(font);
    const int below = std::max(fm.descent(), fm.tightBoundingRect(kLowGlyphs).bottom() + 1);
    // The text is centred on ascent plus descent: what lies below the
    // descent needs as much again above.
    needed_ = fm.ascent() + fm.descent() + 2 * (below - fm.descent()) + 2;
    measuredFont_ = font;
    measured_ = true;
    return needed_;
  }

  static inline const QString kLowGlyphs = QStringLiteral("_gjpqy,;");
  mutable QFont measuredFont_;
  mutable int needed_ = 0;
  mutable bool measured_ = false;
  mutable QString sizedText_;
  mutable QFont sizedFont_;
  mutable QSize size_;
  mutable bool sized_ = false;
};

QListWidget* listBox(QWidget* parent, const char* name, QRect rect) {
  auto* list = place(new QListWidget(parent), name, rect);
  // One line per item: lets the list lay out a new item without measuring
  // all the others.
  list->setUniformItemSizes(true);
  list->setItemDelegate(new TableNameDelegate(list));
  return list;
}

QPushButton* button(QWidget* parent, const char* name, const QString& caption, QRect rect) {
  auto* b = place(new QPushButton(caption, parent), name, rect);
  b->setAutoDefault(false);
  return b;
}

QProgressBar* progressBar(QWidget* parent, const char* name, QRect rect) {
  auto* p = place(new QProgressBar(parent), name, rect);
  p->setTextVisible(false);
  p->setRange(0, 100);
  p->setValue(0);
  return p;
}

void setColor(QWidget* w, const QColor& color) {
  QPalette pal = w->palette();
  pal.setColor(QPalette::WindowText, color);
  w->setPalette(pal);
}

QFont songti(double points) {
  QFont f;
  // Where 宋体 itself is missing, AR PL UMing is the Song face with the
  // same 12-pixel line at 9 points, which the fixed label heights assume.
  f.setFamilies({QStringLiteral("宋体"), QStringLiteral("SimSun"), QStringLiteral("AR PL UMing CN"),
                 QStringLiteral("Noto Sans CJK SC")});
  f.setPointSizeF(points);
  return f;
}

}  // namespace

const QString kServerForms = QStringLiteral(
    "服务器IP 的写法：\n"
    "  主机、主机,端口 或 主机\\实例　SQL Server\n"
    "  sqlite　SQLite，数据库名称填数据库文件的路径\n"
    "  postgresql:主机[:端口]　PostgreSQL\n"
    "  mariadb:主机[:端口] 或 mysql:主机[:端口]　MariaDB/MySQL\n"
    "  dsn:名称　odbc.ini 中的 ODBC 数据源\n"
    "IPv6 地址写在方括号中，如 postgresql:[::1]:5432");

const QString kHelpMore = QStringLiteral(
    "服务器IP 可填：主机[,端口]（SQL Server）、sqlite（数据库名称填文件路径）、"
    "postgresql:主机[:端口]、mariadb:主机[:端口]、dsn:数据源名。右击数据表：“预览替换...”"
    "先看替换前后；每次替换都保留原值，“撤销上次替换...”可恢复。");

const QColor kBlue(0, 0, 255);
const QColor kDarkRed(192, 0, 0);
const QColor kDarkGrey(128, 128, 128);

void Form1::buildControls() {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("Trellick V1.2"));
  setFont(songti(9));
  setFixedSize(9870 / kTwipsPerPixel, 5175 / kTwipsPerPixel);

  // Frame1: connection fields.
  Frame1 = frame(this, "Frame1", QStringLiteral("数据库连接"), twips(120, 120, 6855, 1215));
  txtServerName = textBox(Frame1, "txtServerName", twips(1320, 240, 2175, 285));
  txtDatabaseName = textBox(Frame1, "txtDatabaseName", twips(1320, 720, 2175, 285));
  txtUsername = textBox(Frame1, "txtUsername", twips(4440, 240, 2175, 285));
  // The password is never shown, shortened or not.
  txtPassword = place(new QLineEdit(Frame1), "txtPassword", twips(4440, 720, 2175, 285));
  txtPassword->setEchoMode(QLineEdit::Password);
  txtPassword->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));
  // What the server field takes, where a newcomer looks first.
  txtServerName->setPlaceholderText(QStringLiteral("主机 或 sqlite、postgresql:主机"));
  static_cast<FieldEdit*>(txtServerName)->setHelp(kServerForms);
  txtDatabaseName->setPlaceholderText(QStringLiteral("数据库名 或 SQLite 文件路径"));
  static_cast<FieldEdit*>(txtDatabaseName)
      ->setHelp(QStringLiteral("数据库名称；服务器为 sqlite 时填数据库文件的路径"));
  lblServerName =
      label(Frame1, "lblServerName", QStringLiteral("服务器IP:"), twips(240, 360, 810, 180));
  lblDatabaseName =
      label(Frame1, "lblDatabaseName", QStringLiteral("数据库名称:"), twips(240, 720, 990, 180));
  lblUsername = label(Frame1, "lblUsername", QStringLiteral("用户名:"), twips(3720, 360, 630, 180));
  lblPassword = label(Frame1, "lblPassword", QStringLiteral("密  码:"), twips(3720, 840, 630, 180));

  // Frame2: search and replacement.
  Frame2 = frame(this, "Frame2", QStringLiteral("查找替换"), twips(120, 1440, 6855, 1935));
  txt1 = textBox(Frame2, "txt1", twips(1320, 360, 5295, 375));
  txt2 = textBox(Frame2, "txt2", twips(1320, 960, 5295, 375));
  Label1.add(1, label(Frame2, "Label1", QStringLiteral("查找内容:"), twips(240, 480, 975, 255)));
  Label1.add(3, label(Frame2, "Label1", QStringLiteral("替 换 为:"), twips(240, 960, 975, 255)));
  for (const auto& [index, member] : Label1.members()) member->setProperty("Index", index);
  OptA = place(new QRadioButton(QStringLiteral("所有表"), Frame2), "OptA",
               twips(1320, 1560, 1215, 255));
  OptB = place(new QRadioButton(QStringLiteral("查询结果中的表"), Frame2), "OptB",
               twips(3240, 1560, 2175, 255));
  OptA->setChecked(true);

  // Frame3: progress; Frame5 lies in front of the bars while shown.
  Frame3 = frame(this, "Frame3", QStringLiteral("处理进程"), twips(120, 3480, 6855, 975));
  Label2.add(0, label(Frame3, "Label2", QStringLiteral("字段："), twips(240, 240, 1215, 375)));
  Label2.add(1, label(Frame3, "Label2", QStringLiteral("表："), twips(240, 600, 1215, 255)));
  for (const auto& [index, member] : Label2.members()) member->setProperty("Index", index);
  ProA = progressBar(Frame3, "ProA", twips(1080, 240, 5535, 255));
  ProB = progressBar(Frame3, "ProB", twips(1080, 600, 5535, 255));
  Frame5 = place(new QFrame(Frame3), "Frame5", twips(120, 240, 6615, 615));
  Frame5->setFrameShape(QFrame::NoFrame);
  Frame5->setAutoFillBackground(true);
  Label3 = label(Frame5, "Label3", QStringLiteral("正在连接数据库,请稍等..."),
                 twips(2040, 120, 2655, 495));
  Frame5->raise();
  Frame5->hide();

  // Frame4: table list; framefind covers it when shown.
  Frame4 = frame(this, "Frame4", QStringLiteral("数据表"), twips(7080, 120, 2655, 4335));
  List1 = listBox(Frame4, "List1", twips(120, 240, 2415, 4020));
  List1->setToolTip(QStringLiteral("双击替换指定表"));

  framefind = frame(this, "framefind", QStringLiteral("查找结果："), twips(7080, 120, 2655, 4335));
  framefind->setStyleSheet(QStringLiteral("QGroupBox#framefind { color: #0000ff; }"));
  List5 = listBox(framefind, "List5", twips(120, 240, 2415, 3660));
  List5->setToolTip(QStringLiteral("双击替换选中表"));
  LabCloseFind =
      clickLabel(framefind, "LabCloseFind", QStringLiteral("×"), twips(2400, 0, 255, 255));
  LabCloseFind->setFont(songti(10.5));
  setColor(LabCloseFind, kBlue);
  LabCloseFind->setToolTip(QStringLiteral("关闭查询结果"));
  LabFind =
      label(framefind, "LabFind", QStringLiteral("表：0  记录：0"), twips(120, 4020, 2415, 255));
  // Overlays hide what lies beneath them.
  framefind->setAutoFillBackground(true);
  framefind->raise();
  framefind->hide();

  // FrameHelp over the left column.
  FrameHelp = frame(this, "FrameHelp", QStringLiteral("帮助信息"), twips(120, 120, 6855, 4335));
  Label4 =
      label(FrameHelp, "Label4",
            QStringLiteral("说明: 程序将替换的目标字段为:char、varchar、text和nchar、nvarchar、"
                           "ntext 其中如有替换ntext字段将转换为nvarchar(8000)处理。"),
            twips(840, 480, 4455, 615));
  Label8 =
      label(FrameHelp, "Label8",
            QStringLiteral("程序在进行替换操作时将自动对数据库日志进行清理并压缩。您也可以直接按"
                           "“清除日志并压缩库”按钮进行单独的操作。"),
            twips(840, 1200, 4455, 615));
  Label5 = label(
      FrameHelp, "Label5",
      QStringLiteral("注意: 操作前请做好数据库备份！如发生超时现象，可能是数据量过大或网速慢。"),
      twips(840, 2040, 4455, 495));
  setColor(Label5, kDarkRed);
  // How to reach each engine, and what preview and undo do.
  HelpMore = place(new QTextBrowser(FrameHelp), "HelpMore", twips(240, 2550, 3270, 1140));
  HelpMore->setFrameShape(QFrame::NoFrame);
  HelpMore->viewport()->setAutoFillBackground(false);
  HelpMore->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  HelpMore->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  HelpMore->document()->setDocumentMargin(0);
  HelpMore->setPlainText(kHelpMore);
  // Read and scrolled with the mouse: the tab order stays the window's.
  HelpMore->setFocusPolicy(Qt::NoFocus);
  Label7 = label(FrameHelp, "Label7", QStringLiteral("开发组  2026年12月"),
                 twips(3600, 2880, 2055, 255));
  setColor(Label7, kDarkGrey);
  mywebsite = clickLabel(FrameHelp, "mywebsite",
                         QStringLiteral("访问：") + kWebHost + QStringLiteral(" 下载最新版！"),
                         twips(1440, 3720, 3375, 255));
  QFont web = songti(9);
  web.setUnderline(true);
  mywebsite->setFont(web);
  setColor(mywebsite, kBlue);
  FrameHelp->setAutoFillBackground(true);
  FrameHelp->raise();
  FrameHelp->hide();

  // FrameSQL in front of the help frame and the left column.
  FrameSQL = frame(this, "FrameSQL", QStringLiteral("SQL"), twips(120, 120, 6855, 4335));
  Label6 = label(
      FrameSQL, "Label6",
      QStringLiteral("以下是未能正常执行替换数据的SQL语句，您可以复制到SQL查询分析器中手动执行。"),
      twips(120, 240, 6615, 255));
  Text2 = place(new QPlainTextEdit(FrameSQL), "Text2", twips(120, 480, 6615, 3735));
  Text2->setPlainText(QStringLiteral("Text2"));
  Text2->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  LabCloseSQL = clickLabel(FrameSQL, "LabCloseSQL", QStringLiteral("×"), twips(6600, 0, 255, 255));
  LabCloseSQL->setFont(songti(10.5));
  setColor(LabCloseSQL, kBlue);
  LabCloseSQL->setToolTip(QStringLiteral("关闭"));
  FrameSQL->setAutoFillBackground(true);
  FrameSQL->raise();
  FrameSQL->hide();

  // Buttons in one row; Command6 in front of Command5 while shown.
  cmdHelp = button(this, "cmdHelp", QStringLiteral("帮 助(&H)"), twips(120, 4560, 1215, 495));
  cmdSQLlog = button(this, "cmdSQLlog", QStringLiteral("清除日志并压缩库(&C)"),
                     twips(1440, 4560, 2055, 495));
  cmdFind = button(this, "cmdFind", QStringLiteral("查 找(&F)"), twips(5640, 4560, 1335, 495));
  Command5 =
      button(this, "Command5", QStringLiteral("查找并替换(&R)"), twips(7080, 4560, 1335, 495));
  Command6 = button(this, "Command6", QStringLiteral("停 止(&S)"), twips(7080, 4560, 1335, 495));
  Command6->raise();
  Command6->hide();
  Command4 = button(this, "Command4", QStringLiteral("退 出(&Q)"), twips(8520, 4560, 1215, 495));

  // Outside the client area: part of the window, never seen.
  List2 = listBox(this, "List2", twips(12120, 240, 1815, 4020));
  Text1 = place(new QPlainTextEdit(this), "Text1", twips(120, 5400, 9615, 1215));
  Text1->setPlainText(QStringLiteral("SQL\r\n"));
  Command2 =
      button(this, "Command2", QStringLiteral("逐条处理当前表"), twips(3840, 7440, 1815, 495));
  List3 = listBox(this, "List3", twips(12120, 5040, 1815, 3480));
  List4 = listBox(this, "List4", twips(6600, 7200, 3615, 240));
  Command3 = button(this, "Command3", QStringLiteral("处理所有表"), twips(7680, 7440, 1215, 495));
  Command1 = button(this, "Command1", QStringLiteral("连接数据库"), twips(480, 7440, 1815, 495));
  Command1->hide();

  QWidget* order[] = {
      txtServerName, txtDatabaseName, txtUsername, txtPassword, txt1,     txt2,
      List1,         Command5,        Command1,    List2,       Command2, Command3,
      Command4,      List3,           Command6,    Text1,       List4,    cmdFind,
      List5,         cmdHelp,         OptB,        OptA,        Text2,    cmdSQLlog};
  for (size_t k = 1; k < std::size(order); ++k) QWidget::setTabOrder(order[k - 1], order[k]);
}

}  // namespace trellick::app
