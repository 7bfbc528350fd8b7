#include "ui/dlg_add_ip.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>

#include <QButtonGroup>
#include <QCheckBox>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include <arpa/inet.h>
#include <netdb.h>

#include "config/setup_info.h"
#include "engine/host_list.h"
#include "platform/message_box.h"
#include "ui/dialog_buttons.h"
#include "ui/dlg_setup.h"
#include "ui/number_edit.h"
#include "ui/ui_setup_hooks.h"

namespace {

constexpr int64_t kMaxField32 = std::numeric_limits<uint32_t>::max();
constexpr int64_t kMaxMailGroup = std::numeric_limits<uint16_t>::max();
constexpr int64_t kPacketSteps[4] = {1, 10, 100, 1000};

CDlgAddIP::HostResolver g_resolver = nullptr;

QLabel* Label(const char* text, QWidget* buddy, QWidget* parent) {
    auto* label = new QLabel(QString::fromLatin1(text), parent);
    label->setBuddy(buddy);
    return label;
}

CSpinArrows* Spin(const char* name, QWidget* parent) {
    auto* spin = new CSpinArrows(parent);
    spin->setObjectName(name);
    return spin;
}

QCheckBox* CheckBox(const char* text, const char* name, QWidget* parent) {
    auto* box = new QCheckBox(QString::fromLatin1(text), parent);
    box->setObjectName(name);
    return box;
}

// An edit, its arrows and its unit.
QHBoxLayout* NumberRow(QLineEdit* edit, std::initializer_list<CSpinArrows*> spins,
                       const char* unit) {
    auto* row = new QHBoxLayout;
    row->setSpacing(2);
    row->addWidget(edit);
    for (CSpinArrows* spin : spins)
        row->addWidget(spin);
    if (unit != nullptr)
        row->addWidget(new QLabel(QString::fromLatin1(unit)));
    row->addStretch(1);
    return row;
}

// The number of a field, or nothing after its refusal.
std::optional<int64_t> FieldNumber(CNumberEdit* edit) {
    const auto value = edit->Number();
    if (!value)
        RefuseField(edit, edit->RefusalText());
    return value;
}

std::string Ipv6Text(const in6_addr& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET6, &address, text, sizeof text) == nullptr)
        return {};
    return text;
}

}  // namespace

// ---- IPv4 address input ----

CIPAddressCtrl::CIPAddressCtrl(QWidget* parent) : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    const QRegularExpression digits(QStringLiteral("[0-9]{0,3}"));
    for (size_t i = 0; i < m_fields.size(); ++i) {
        QLineEdit* field = new QLineEdit(this);
        field->setObjectName(QStringLiteral("field%1").arg(i));
        field->setValidator(new QRegularExpressionValidator(digits, field));
        field->setMaxLength(3);
        field->setMaximumWidth(40);
        field->setAlignment(Qt::AlignCenter);
        field->installEventFilter(this);
        m_fields[i] = field;
        if (i > 0)
            row->addWidget(new QLabel(QStringLiteral("."), this));
        row->addWidget(field);
        // A field holds at most 255: a larger number shows as 255 once the field is left.
        connect(field, &QLineEdit::editingFinished, this, [field] {
            if (!field->text().isEmpty() && field->text().toInt() > 255)
                field->setText(QStringLiteral("255"));
        });
        // A third digit moves on, as in the classic control.
        connect(field, &QLineEdit::textEdited, this, [this, i](const QString& text) {
            if (text.size() == 3 && i + 1 < m_fields.size()) {
                m_fields[i + 1]->setFocus(Qt::TabFocusReason);
                m_fields[i + 1]->selectAll();
            }
        });
    }
    row->addStretch(1);
    setFocusProxy(m_fields[0]);
}

std::array<int, 4> CIPAddressCtrl::GetFields() const {
    std::array<int, 4> values{};
    for (size_t i = 0; i < m_fields.size(); ++i)
        values[i] = std::min(m_fields[i]->text().toInt(), 255);
    return values;
}

uint32_t CIPAddressCtrl::GetAddress() const {
    uint32_t address = 0;
    for (int value : GetFields())
        address = (address << 8) | static_cast<uint32_t>(value);
    return address;
}

void CIPAddressCtrl::SetAddress(uint32_t hostOrder) {
    for (size_t i = 0; i < m_fields.size(); ++i)
        m_fields[i]->setText(QString::number((hostOrder >> (24 - 8 * i)) & 0xFF));
}

void CIPAddressCtrl::ClearAddress() {
    for (QLineEdit* field : m_fields)
        field->clear();
}

bool CIPAddressCtrl::IsBlank() const {
    return std::all_of(m_fields.begin(), m_fields.end(),
                       [](const QLineEdit* f) { return f->text().isEmpty(); });
}

bool CIPAddressCtrl::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress)
        return QWidget::eventFilter(watched, event);
    const auto* key = static_cast<QKeyEvent*>(event);
    const auto it = std::find(m_fields.begin(), m_fields.end(), watched);
    if (it == m_fields.end())
        return QWidget::eventFilter(watched, event);
    const size_t i = static_cast<size_t>(it - m_fields.begin());
    if (key->key() == Qt::Key_Period && i + 1 < m_fields.size()) {
        if (!(*it)->text().isEmpty()) {
            m_fields[i + 1]->setFocus(Qt::TabFocusReason);
            m_fields[i + 1]->selectAll();
        }
        return true;
    }
    if (key->key() == Qt::Key_Backspace && i > 0 && (*it)->text().isEmpty()) {
        m_fields[i - 1]->setFocus(Qt::BacktabFocusReason);
        m_fields[i - 1]->end(false);
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

// ---- host options ----

CHostOptionControls::CHostOptionControls(QWidget* parent) {
    m_descriptGroup = new QGroupBox(QStringLiteral("Descript  Setup"), parent);
    m_name = new QLineEdit(m_descriptGroup);
    m_name->setObjectName("name");
    m_descript = new QPlainTextEdit(m_descriptGroup);
    m_descript->setObjectName("descript");
    m_descript->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_descript->setTabChangesFocus(true);
    m_descript->setMaximumHeight(70);
    auto* descriptLayout = new QGridLayout(m_descriptGroup);
    descriptLayout->addWidget(Label("Name:", m_name, m_descriptGroup), 0, 0);
    descriptLayout->addWidget(m_name, 0, 1);
    descriptLayout->addWidget(Label("Description:", m_descript, m_descriptGroup), 1, 0,
                              Qt::AlignTop);
    descriptLayout->addWidget(m_descript, 1, 1);

    m_mailGroup = new QGroupBox(QStringLiteral("Mail  Setup"), parent);
    m_group = NewNumberEdit("group", "Mail Group ID", 0, kMaxMailGroup, 90, m_mailGroup);
    m_priority = CheckBox("Send Mail with High Priority", "priority", m_mailGroup);
    auto* mailLayout = new QHBoxLayout(m_mailGroup);
    mailLayout->addWidget(Label("Mail Group ID:", m_group, m_mailGroup));
    mailLayout->addWidget(m_group);
    mailLayout->addSpacing(12);
    mailLayout->addWidget(m_priority);
    mailLayout->addStretch(1);

    m_pingGroup = new QGroupBox(QStringLiteral("Ping  Setup"), parent);
    auto* timer = new QGroupBox(QStringLiteral("Timer"), m_pingGroup);
    m_interval = NewNumberEdit("interval", "Interval", 0, kMaxField32, 90, timer);
    m_intervalSpin = Spin("intervalSpin", timer);
    m_timeout = NewNumberEdit("timeout", "Timeout", 0, kMaxField32, 90, timer);
    m_timeoutSpin = Spin("timeoutSpin", timer);
    auto* timerLayout = new QGridLayout(timer);
    timerLayout->addWidget(Label("Interval :", m_interval, timer), 0, 0);
    timerLayout->addLayout(NumberRow(m_interval, {m_intervalSpin}, "MS"), 0, 1);
    timerLayout->addWidget(Label("Timeout:", m_timeout, timer), 1, 0);
    timerLayout->addLayout(NumberRow(m_timeout, {m_timeoutSpin}, "MS"), 1, 1);
    auto* notify = new QGroupBox(QStringLiteral("Notify"), m_pingGroup);
    m_notifyDown = CheckBox("Notify when is Down", "notifyDown", notify);
    m_notifyUp = CheckBox("Notify when is Up", "notifyUp", notify);
    m_notifyTtl = CheckBox("Notify when TTL changed", "notifyTtl", notify);
    auto* notifyLayout = new QVBoxLayout(notify);
    notifyLayout->addWidget(m_notifyDown);
    notifyLayout->addWidget(m_notifyUp);
    notifyLayout->addWidget(m_notifyTtl);
    auto* pingLayout = new QHBoxLayout(m_pingGroup);
    pingLayout->addWidget(timer);
    pingLayout->addWidget(notify);

    m_extendGroup = new QGroupBox(QStringLiteral("Extend Setup"), parent);
    m_packetSize = NewNumberEdit("packetSize", "Packet Size", 0, kMaxField32, 90, m_extendGroup);
    const char* const spinNames[4] = {"packetSpin1", "packetSpin10", "packetSpin100",
                                      "packetSpin1000"};
    for (size_t i = 0; i < m_packetSpin.size(); ++i)
        m_packetSpin[i] = Spin(spinNames[i], m_extendGroup);
    auto* extendLayout = new QHBoxLayout(m_extendGroup);
    extendLayout->addWidget(Label("Packet Size :", m_packetSize, m_extendGroup));
    extendLayout->addLayout(
        NumberRow(m_packetSize,
                  {m_packetSpin[0], m_packetSpin[1], m_packetSpin[2], m_packetSpin[3]}, "Bytes"));

    QObject::connect(m_intervalSpin, &CSpinArrows::deltaPos, parent,
                     [this](int delta) { StepNumber(m_interval, delta, 1, 1, kMaxField32); });
    QObject::connect(m_timeoutSpin, &CSpinArrows::deltaPos, parent,
                     [this](int delta) { StepNumber(m_timeout, delta, 1, 1, kMaxField32); });
    for (size_t i = 0; i < m_packetSpin.size(); ++i) {
        const int64_t step = kPacketSteps[i];
        QObject::connect(m_packetSpin[i], &CSpinArrows::deltaPos, parent, [this, step](int delta) {
            StepNumber(m_packetSize, delta, step, kMinStepPacketSize, kMaxStepPacketSize);
        });
    }
}

void CHostOptionControls::InitDefaults() {
    m_interval->ShowNumber(1000);
    m_timeout->ShowNumber(2000);
    m_packetSize->ShowNumber(32);
    m_group->ShowNumber(0);
    m_notifyDown->setChecked(true);
    m_notifyUp->setChecked(true);
    m_notifyTtl->setChecked(true);
    m_priority->setChecked(g_pSetupInfo != nullptr && g_pSetupInfo->mail_highpriority == 1);
}

void CHostOptionControls::ShowHost(const CHostItem& host) {
    m_shownName = host.name;
    m_shownDescript = host.descript;
    SetLongText(m_name, host.name);
    m_descript->setPlainText(MultiLineTextToQt(host.descript));
    m_group->ShowNumber(host.mail_group);
    m_interval->ShowNumber(host.interval.load());
    m_timeout->ShowNumber(host.timeout.load());
    m_packetSize->ShowNumber(host.packetsize.load());
    m_notifyDown->setChecked(host.notify_down != 0);
    m_notifyUp->setChecked(host.notify_up != 0);
    m_notifyTtl->setChecked((host.advance.load() & kAdvanceTtlEvent) != 0);
    m_priority->setChecked(host.mail_priority == 1);
}

std::optional<CHostOptionControls::Numbers> CHostOptionControls::ReadNumbers() const {
    Numbers numbers;
    const auto group = FieldNumber(m_group);
    if (!group)
        return std::nullopt;
    const auto interval = FieldNumber(m_interval);
    if (!interval)
        return std::nullopt;
    const auto timeout = FieldNumber(m_timeout);
    if (!timeout)
        return std::nullopt;
    const auto packetsize = FieldNumber(m_packetSize);
    if (!packetsize)
        return std::nullopt;
    numbers.mailGroup = static_cast<uint16_t>(*group);
    // Raising is no refusal, so a stored interval below the floor is raised as well.
    numbers.interval = std::max(static_cast<uint32_t>(*interval), kMinHostInterval);
    numbers.timeout = static_cast<uint32_t>(*timeout);
    numbers.packetsize = static_cast<uint32_t>(*packetsize);
    return numbers;
}

void CHostOptionControls::StoreOptions(CHostItem& host, const Numbers& numbers) const {
    host.name = SetupTextFromQt(m_name->text(), m_shownName);
    host.descript = MultiLineTextFromQt(PlainTextOf(m_descript), m_shownDescript);
    host.interval.store(numbers.interval);
    host.mail_group = numbers.mailGroup;
    host.timeout.store(numbers.timeout);
    host.packetsize.store(numbers.packetsize);
    host.notify_down = m_notifyDown->isChecked() ? 1 : 0;
    host.notify_up = m_notifyUp->isChecked() ? 1 : 0;
    if (m_notifyTtl->isChecked())
        host.advance.fetch_or(kAdvanceTtlEvent);
    else
        host.advance.fetch_and(~kAdvanceTtlEvent);
    host.mail_priority = m_priority->isChecked() ? 1 : 0;
}

// ---- host dialog ----

void ShowHostDialogBox(const char* text) {
    ShowMessageBox(kBoxCaption, text, MB_OK | MB_ICONWARNING);
}

void LayOutHostDialog(QDialog* dialog, QGroupBox* destination, CHostOptionControls& options,
                      QPushButton** add, QPushButton** cancel) {
    *add = new QPushButton(QStringLiteral("Add"), dialog);
    (*add)->setObjectName("add");
    *cancel = new QPushButton(QStringLiteral("Cancel"), dialog);
    (*cancel)->setObjectName("cancel");
    // Enter adds (a multi-line description takes it as a line break first).
    SetDialogButtons(dialog, *add, *cancel);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(*add);
    buttons->addWidget(*cancel);

    auto* layout = new QVBoxLayout(dialog);
    layout->addWidget(options.m_descriptGroup);
    layout->addWidget(options.m_mailGroup);
    layout->addWidget(options.m_pingGroup);
    layout->addWidget(destination);
    layout->addWidget(options.m_extendGroup);
    layout->addLayout(buttons);
}

std::optional<uint32_t> ResolveHostIPv4(const std::string& name) {
    if (name.empty())
        return std::nullopt;
    addrinfo* list = ResolveAddrInfo(name.c_str(), nullptr, AF_INET, SOCK_DGRAM, 0);
    std::optional<uint32_t> address;
    for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addr != nullptr &&
            ai->ai_addrlen >= sizeof(sockaddr_in)) {
            sockaddr_in in{};
            std::memcpy(&in, ai->ai_addr, sizeof in);
            address = in.sin_addr.s_addr;
            break;
        }
    }
    if (list != nullptr)
        freeaddrinfo(list);
    if (address && *address == INADDR_NONE)
        return std::nullopt;
    return address;
}

void CDlgAddIP::SetHostResolver(HostResolver resolver) {
    g_resolver = resolver;
}

CDlgAddIP::CDlgAddIP(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint),
      m_options(this) {
    setObjectName("addIPDialog");
    setWindowTitle(QStringLiteral("Add IP"));

    auto* destination = new QGroupBox(QStringLiteral("Destination"), this);
    m_hostnameRadio = new QRadioButton(QStringLiteral("Hostname:"), destination);
    m_hostnameRadio->setObjectName("hostnameRadio");
    m_hostname = new QLineEdit(destination);
    m_hostname->setObjectName("hostname");
    m_hostname->setMaxLength(static_cast<int>(kMaxDestinationText));
    m_hostname->installEventFilter(this);
    m_ipv4Radio = new QRadioButton(QStringLiteral("IPv4 Address:"), destination);
    m_ipv4Radio->setObjectName("ipv4Radio");
    m_ipv4 = new CIPAddressCtrl(destination);
    m_ipv4->setObjectName("ipv4");
    m_ipv6Radio = new QRadioButton(QStringLiteral("IPv6 Address:"), destination);
    m_ipv6Radio->setObjectName("ipv6Radio");
    m_ipv6 = new QLineEdit(destination);
    m_ipv6->setObjectName("ipv6");
    m_ipv6->setMaxLength(static_cast<int>(kMaxDestinationText));
    m_resolve = CheckBox("Resolve the IP to hostname", "resolve", destination);
    auto* radios = new QButtonGroup(this);
    radios->addButton(m_hostnameRadio);
    radios->addButton(m_ipv4Radio);
    radios->addButton(m_ipv6Radio);
    auto* destinationLayout = new QGridLayout(destination);
    destinationLayout->addWidget(m_hostnameRadio, 0, 0);
    destinationLayout->addWidget(m_hostname, 0, 1);
    destinationLayout->addWidget(m_ipv4Radio, 1, 0);
    destinationLayout->addWidget(m_ipv4, 1, 1);
    destinationLayout->addWidget(m_ipv6Radio, 2, 0);
    destinationLayout->addWidget(m_ipv6, 2, 1);
    destinationLayout->addWidget(m_resolve, 3, 0, 1, 2);
    destinationLayout->setColumnStretch(1, 1);

    LayOutHostDialog(this, destination, m_options, &m_add, &m_cancel);

    connect(m_hostnameRadio, &QRadioButton::clicked, this, &CDlgAddIP::OnHostnameRadio);
    connect(m_ipv4Radio, &QRadioButton::clicked, this, &CDlgAddIP::OnIPv4Radio);
    connect(m_ipv6Radio, &QRadioButton::clicked, this, &CDlgAddIP::OnIPv6Radio);
    connect(m_add, &QPushButton::clicked, this, &CDlgAddIP::OnAdd);
}

CDlgAddIP::~CDlgAddIP() = default;

int CDlgAddIP::DoModal() {
    OnInitDialog();
    return exec() == QDialog::Accepted ? IDOK : IDCANCEL;
}

bool CDlgAddIP::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_hostname && event->type() == QEvent::FocusIn)
        OnHostnameRadio();
    return QDialog::eventFilter(watched, event);
}

void CDlgAddIP::EnableDestination(bool hostname, bool ipv4, bool ipv6) {
    m_hostname->setEnabled(hostname);
    m_ipv4->setEnabled(ipv4);
    m_ipv6->setEnabled(ipv6);
    // Resolving an address to a name is the stored choice of a host; this dialog never
    // offers it.
    m_resolve->setEnabled(false);
}

bool CDlgAddIP::OnInitDialog() {
    if (m_pHost == nullptr) {
        setWindowTitle(QStringLiteral("Add IP"));
        m_add->setText(QStringLiteral("Add"));
        m_options.InitDefaults();
        m_ipv4Radio->setChecked(true);
        m_resolve->setChecked(false);
        EnableDestination(false, true, false);
        return true;
    }
    const CHostItem& host = *m_pHost;
    setWindowTitle(QStringLiteral("Update IP"));
    m_add->setText(QStringLiteral("Update"));
    m_options.ShowHost(host);
    if (host.name_host != 0) {
        m_hostnameRadio->setChecked(true);
        SetLongText(m_hostname, host.hostname);
        m_resolve->setChecked(false);
        EnableDestination(true, false, false);
    } else if (host.IsIPv6()) {
        m_ipv6Radio->setChecked(true);
        m_ipv6->setText(QString::fromStdString(Ipv6Text(host.addr6.sin6_addr)));
        m_resolve->setChecked(host.ip_to_name != 0);
        EnableDestination(false, false, true);
    } else {
        m_ipv4Radio->setChecked(true);
        m_ipv4->SetAddress(ntohl(host.LoadAddr4()));
        m_resolve->setChecked(host.ip_to_name != 0);
        EnableDestination(false, true, false);
    }
    return true;
}

void CDlgAddIP::OnHostnameRadio() {
    m_hostnameRadio->setChecked(true);
    EnableDestination(true, false, false);
}

void CDlgAddIP::OnIPv4Radio() {
    m_ipv4Radio->setChecked(true);
    EnableDestination(false, true, false);
}

void CDlgAddIP::OnIPv6Radio() {
    m_ipv6Radio->setChecked(true);
    EnableDestination(false, false, true);
}

void CDlgAddIP::OnAdd() {
    // Every check comes before the record is created or touched, so a refused input
    // leaves the table as it was and the dialog open with what the user typed.
    const auto numbers = m_options.ReadNumbers();
    if (!numbers)
        return;

    const bool byName = m_hostnameRadio->isChecked();
    const bool isIPv6 = !byName && m_ipv6Radio->isChecked();
    uint32_t addr4 = 0;  // network order
    in6_addr addr6{};
    std::string ipv6Text;
    if (byName) {
        const std::string name = m_hostname->text().left(kMaxDestinationText).toStdString();
        const in_addr_t dotted = inet_addr(name.c_str());
        if (name.empty()) {
            ShowHostDialogBox(kErrorHostnameText);
            return;
        }
        if (dotted != INADDR_NONE) {
            addr4 = dotted;
        } else {
            const auto resolved = g_resolver != nullptr ? g_resolver(name) : ResolveHostIPv4(name);
            if (!resolved || *resolved == INADDR_NONE) {
                ShowHostDialogBox(kErrorHostnameText);
                return;
            }
            addr4 = *resolved;
        }
    } else if (isIPv6) {
        ipv6Text = m_ipv6->text().left(kMaxDestinationText).toStdString();
        // The all-zero address would make the host an IPv4 host of 0.0.0.0.
        if (inet_pton(AF_INET6, ipv6Text.c_str(), &addr6) != 1 || IN6_IS_ADDR_UNSPECIFIED(&addr6)) {
            ShowHostDialogBox(kErrorIPv6Text);
            return;
        }
    } else {
        const std::array<int, 4> f = m_ipv4->GetFields();
        char text[32];
        std::snprintf(text, sizeof text, "%d.%d.%d.%d", f[0], f[1], f[2], f[3]);
        addr4 = inet_addr(text);
        if (addr4 == INADDR_NONE || (f[0] == 0 && f[1] == 0 && f[2] == 0 && f[3] == 0)) {
            ShowHostDialogBox(kErrorIPText);
            return;
        }
    }

    // The IPv6 destination is resolved before any lock is taken.
    std::optional<sockaddr_in6> target6;
    if (isIPv6) {
        CHostItem scratch;
        std::memcpy(&scratch.addr6.sin6_addr, &addr6, sizeof addr6);
        scratch.ResolveIPv6(ipv6Text.c_str());
        target6 = scratch.target6;
    }

    const bool adding = m_pHost == nullptr;
    if (adding) {
        m_pHost = AddHost(m_nTable);
        if (m_pHost == nullptr) {
            ShowHostDialogBox(kAddIPErrorText);
            return;
        }
    }
    CHostItem& host = *m_pHost;
    // An edited record is in use by the worker threads: its addresses and host name change
    // while none of them holds it. A new one is not theirs until it is published.
    std::unique_lock<std::shared_mutex> lock;
    if (!adding && g_pHostList != nullptr)
        lock = std::unique_lock(g_pHostList->lifetime);
    host.target6.reset();
    m_options.StoreOptions(host, *numbers);
    host.StoreAddr4(addr4);
    std::memcpy(&host.addr6.sin6_addr, &addr6, sizeof addr6);
    host.target6 = target6;
    host.hostname =
        byName ? SetupTextFromQt(m_hostname->text().left(kMaxDestinationText), host.hostname)
               : std::string();
    // A host given by name is never resolved back to a name.
    host.ip_to_name = !byName && m_resolve->isChecked() ? 1 : 0;
    host.name_host = byName ? 1 : 0;
    // A name was looked up above: the host need not wait for the name thread's lookup.
    host.name_resolved.store(1);
    if (lock.owns_lock())
        lock.unlock();
    if (adding)
        PublishHost(&host);
    accept();
}
