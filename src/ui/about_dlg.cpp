#include "ui/about_dlg.h"

#include <cmath>

#include <QCoreApplication>
#include <QFile>
#include <QFont>
#include <QFontMetrics>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QRect>
#include <QUrl>

#include "platform/program_files.h"

namespace {

constexpr const char* kCaption = "About  Velmora IPV6";
constexpr const char* kMakerText = "Velmora developers";
constexpr const char* kProductText = "Velmora IPV6 V4.0.0";
constexpr const char* kSupportAddress = "root@localhost";

// Converts dialog units of the box's font to pixels, as dialog templates are laid out.
class DialogUnits {
public:
    explicit DialogUnits(const QFont& font) {
        const QFontMetrics metrics(font);
        static const QString kAlphabet =
            QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
        m_baseX = (metrics.horizontalAdvance(kAlphabet) / 26 + 1) / 2;
        m_baseY = metrics.height();
        if (m_baseX <= 0)
            m_baseX = 1;
        if (m_baseY <= 0)
            m_baseY = 1;
    }
    int X(int units) const { return units * m_baseX / 4; }
    int Y(int units) const { return units * m_baseY / 8; }
    QRect Rect(int x, int y, int width, int height) const {
        return QRect(X(x), Y(y), X(width), Y(height));
    }

private:
    int m_baseX = 1;
    int m_baseY = 1;
};

QLabel* MakeLabel(QWidget* parent, int id, const char* text, const QRect& rect) {
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->setObjectName(QString::number(id));
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setGeometry(rect);
    return label;
}

std::string FileUrl(const std::string& path) {
    return QUrl::fromLocalFile(QFile::decodeName(QByteArray::fromStdString(path)))
        .toString(QUrl::FullyEncoded)
        .toStdString();
}

// The program's documents, where the build or the package put them.
ProgramDocuments Documents() {
    return FindProgramDocuments(
        QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString() + '/');
}

}  // namespace

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
    setWindowTitle(QString::fromUtf8(kCaption));
    setModal(true);
    QFont font(QStringLiteral("Arial"));
    font.setPointSize(8);
    setFont(font);
    const DialogUnits units(font);
    setFixedSize(units.X(227), units.Y(90));

    const QRect pictureRect = units.Rect(6, 10, 85, 62);
    auto* picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("185"));
    picture->setGeometry(pictureRect);
    picture->setPixmap(DrawAboutPicture(pictureRect.size()));

    MakeLabel(this, kMakerId, kMakerText, units.Rect(100, 12, 102, 10));
    MakeLabel(this, kProductId, kProductText, units.Rect(106, 32, 114, 10));
    MakeLabel(this, kMailId, kSupportAddress, units.Rect(112, 51, 72, 10));

    m_ok = new QPushButton(QStringLiteral("OK"), this);
    m_ok->setGeometry(units.Rect(152, 72, 44, 12));
    m_ok->setDefault(true);
    m_ok->setAutoDefault(true);
    connect(m_ok, &QPushButton::clicked, this, &QDialog::accept);

    OnInitDialog();
    m_ok->setFocus();
}

QLabel* CAboutDlg::Control(int id) const {
    return findChild<QLabel*>(QString::number(id), Qt::FindDirectChildrenOnly);
}

void CAboutDlg::DoDataExchange() {
    m_linkWebSite.SubclassWindow(Control(kMakerId));
    m_linkMail.SubclassWindow(Control(kMailId));
    m_linkProduct.SubclassWindow(Control(kProductId));
}

bool CAboutDlg::OnInitDialog() {
    DoDataExchange();
    m_linkWebSite.SetURL(MakerTarget());
    m_linkWebSite.SetUnderline(1);
    m_linkProduct.SetURL(ProductTarget());
    m_linkProduct.SetUnderline(1);
    m_linkMail.SetURL(MailTarget());
    m_linkMail.SetUnderline(1);
    return true;
}

std::string CAboutDlg::MakerTarget() {
    return FileUrl(Documents().readme);
}

std::string CAboutDlg::ProductTarget() {
    return FileUrl(Documents().helpPages);
}

std::string CAboutDlg::MailTarget() {
    return std::string("mailto:") + kSupportAddress;
}

QPixmap DrawAboutPicture(QSize size) {
    if (size.width() <= 0 || size.height() <= 0)
        return QPixmap();
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);

    const qreal w = size.width();
    const qreal h = size.height();
    // The screen: a dark panel with a faint grid.
    const QRectF screen(w * 0.04, h * 0.04, w * 0.92, h * 0.78);
    QLinearGradient glass(screen.topLeft(), screen.bottomLeft());
    glass.setColorAt(0.0, QColor(18, 40, 70));
    glass.setColorAt(1.0, QColor(6, 16, 32));
    painter.setPen(QPen(QColor(90, 96, 110), 2));
    painter.setBrush(glass);
    painter.drawRoundedRect(screen, 4, 4);
    painter.setPen(QPen(QColor(40, 80, 110), 1));
    for (int i = 1; i < 4; ++i) {
        const qreal y = screen.top() + screen.height() * i / 4;
        painter.drawLine(QPointF(screen.left() + 3, y), QPointF(screen.right() - 3, y));
    }
    for (int i = 1; i < 6; ++i) {
        const qreal x = screen.left() + screen.width() * i / 6;
        painter.drawLine(QPointF(x, screen.top() + 3), QPointF(x, screen.bottom() - 3));
    }

    // A round-trip trace: calm, one spike, calm again.
    QPainterPath trace;
    const int steps = 48;
    for (int i = 0; i <= steps; ++i) {
        const qreal t = static_cast<qreal>(i) / steps;
        const qreal x = screen.left() + 4 + t * (screen.width() - 8);
        qreal level = 0.55 + 0.06 * std::sin(t * 31.0);
        if (t > 0.45 && t < 0.55)
            level = 0.55 - 0.40 * std::sin((t - 0.45) / 0.10 * 3.14159265);
        const qreal y = screen.top() + level * screen.height();
        if (i == 0)
            trace.moveTo(x, y);
        else
            trace.lineTo(x, y);
    }
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(80, 230, 120), 1.6));
    painter.drawPath(trace);

    // Hosts below the screen in the list's state colours: up, changing, down, lossy.
    const QColor states[] = {QColor(40, 180, 70), QColor(230, 190, 30), QColor(210, 40, 40),
                             QColor(40, 120, 220)};
    const qreal dot = h * 0.10;
    painter.setPen(QPen(QColor(60, 60, 60), 1));
    for (int i = 0; i < 4; ++i) {
        const qreal cx = w * (0.2 + 0.2 * i);
        const qreal cy = screen.bottom() + (h - screen.bottom()) / 2;
        painter.setBrush(states[i]);
        painter.drawEllipse(QPointF(cx, cy), dot / 2, dot / 2);
    }

    // The IPv6 mark in the screen's corner.
    QFont mark(QStringLiteral("Arial"));
    mark.setBold(true);
    mark.setPixelSize(std::max(6, static_cast<int>(h * 0.16)));
    painter.setFont(mark);
    painter.setPen(QColor(200, 220, 255));
    painter.drawText(screen.adjusted(4, 2, -4, -2), Qt::AlignTop | Qt::AlignRight,
                     QStringLiteral("v6"));
    painter.end();
    return pixmap;
}
