#include "setup/qt/SensorCompanionSettingsView.h"

#include <QApplication>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace quorvantile::setup {
namespace {

// Sizes are the design's points, which Qt calls device-independent pixels.
constexpr int kBodyPixels = 12;
constexpr int kCaptionPixels = 10;
constexpr int kSpacing = 12;
constexpr int kPadding = 18;
constexpr int kProvidesSpacing = 3;
constexpr int kProvidesItemSpacing = 5;
constexpr int kStatusMinimumGap = 4;
constexpr double kSecondaryOpacity = 0.75;

QFont sized(const QFont& base, int pixels)
{
    QFont font = base;
    font.setPixelSize(pixels);
    return font;
}

QLabel* caption(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setFont(sized(label->font(), kCaptionPixels));
    return label;
}

// The primary text colour at reduced opacity, for a widget and everything inside it.
void makeSecondary(QWidget* widget)
{
    QPalette palette = widget->palette();
    QColor colour = palette.color(QPalette::WindowText);
    colour.setAlphaF(kSecondaryOpacity);
    palette.setColor(QPalette::WindowText, colour);
    widget->setPalette(palette);
}

bool loginShownAsOn(LoginItemStatus status)
{
    return status == LoginItemStatus::enabled || status == LoginItemStatus::requiresApproval;
}

} // namespace

SensorCompanionSettingsView::SensorCompanionSettingsView(
    std::shared_ptr<SensorCompanionSetupState> state, std::function<void()> quit, QWidget* parent)
    : QScrollArea(parent), state_(std::move(state)), quit_(std::move(quit))
{
    build();
    observer_ = state_->addObserver([this] { scheduleRefresh(); });
    refresh();
}

SensorCompanionSettingsView::~SensorCompanionSettingsView() { state_->removeObserver(observer_); }

void SensorCompanionSettingsView::build()
{
    setFrameShape(QFrame::NoFrame);
    setWidgetResizable(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);

    auto* content = new QWidget(this);
    content->setBackgroundRole(QPalette::Window);
    content->setAutoFillBackground(true);
    content->setFont(sized(QApplication::font(), kBodyPixels));
    auto* stack = new QVBoxLayout(content);
    stack->setSpacing(kSpacing);
    stack->setContentsMargins(kPadding, kPadding, kPadding, kPadding);

    // The product name is shown as it is in every language.
    service_ = new QCheckBox(QStringLiteral("Quorvantile Sensors"), content);
    service_->setObjectName(QStringLiteral("sensors.enabled"));
    QFont semibold = service_->font();
    semibold.setWeight(QFont::DemiBold);
    service_->setFont(semibold);
    // The mark follows `enabled`, not the click: it turns on only once the server has started.
    connect(service_, &QCheckBox::clicked, this, [this](bool checked) {
        service_->setChecked(state_->enabled());
        startDetached(state_->setEnabled(checked));
    });
    stack->addWidget(service_);

    auto* provides = new QWidget(content);
    provides->setObjectName(QStringLiteral("sensors.provides"));
    auto* providesStack = new QVBoxLayout(provides);
    providesStack->setContentsMargins(0, 0, 0, 0);
    providesStack->setSpacing(kProvidesSpacing);
    providesStack->addWidget(caption(tr("Thermal details"), provides));
    auto* details = new QHBoxLayout();
    details->setSpacing(kProvidesItemSpacing);
    details->addWidget(caption(tr("Footprint"), provides));
    details->addWidget(caption(QStringLiteral("\u00B7"), provides));
    details->addWidget(caption(tr("Disk activity"), provides));
    details->addStretch();
    providesStack->addLayout(details);
    makeSecondary(provides);
    stack->addWidget(provides);

    auto* note = caption(tr("Collected while details are open."), content);
    note->setObjectName(QStringLiteral("sensors.note"));
    note->setWordWrap(true);
    makeSecondary(note);
    stack->addWidget(note);

    login_ = new QCheckBox(tr("Open at Login"), content);
    login_->setObjectName(QStringLiteral("sensors.login"));
    connect(login_, &QCheckBox::clicked, this, [this](bool checked) {
        login_->setChecked(loginShownAsOn(state_->loginStatus()));
        startDetached(state_->setLogin(checked));
    });
    stack->addWidget(login_);

    loginSettings_ = new QPushButton(tr("System Settings"), content);
    loginSettings_->setObjectName(QStringLiteral("sensors.loginSettings"));
    connect(loginSettings_, &QPushButton::clicked, this, [this] { state_->openLoginSettings(); });
    stack->addWidget(loginSettings_, 0, Qt::AlignLeft);

    // What went wrong with a choice, one line each, in one row: the login item's change, and the
    // store of the sensors choice that the next launch would restore.
    auto* problems = new QVBoxLayout();
    problems->setSpacing(0);
    loginError_ = caption(QString(), content);
    loginError_->setObjectName(QStringLiteral("sensors.loginError"));
    loginError_->setWordWrap(true);
    problems->addWidget(loginError_);
    storeError_ = caption(QString(), content);
    storeError_->setObjectName(QStringLiteral("sensors.storeError"));
    storeError_->setWordWrap(true);
    problems->addWidget(storeError_);
    stack->addLayout(problems);

    auto* row = new QHBoxLayout();
    status_ = caption(QString(), content);
    status_->setObjectName(QStringLiteral("sensors.status"));
    row->addWidget(status_);
    retry_ = new QPushButton(tr("Retry"), content);
    retry_->setObjectName(QStringLiteral("sensors.retry"));
    // Retries whichever operation failed: a start when no server runs, a stop when one still does.
    connect(retry_, &QPushButton::clicked, this, [this] { startDetached(state_->setEnabled(!state_->running())); });
    row->addWidget(retry_);
    row->addSpacerItem(new QSpacerItem(kStatusMinimumGap, 0, QSizePolicy::Expanding, QSizePolicy::Minimum));
    auto* quit = new QPushButton(tr("Quit"), content);
    quit->setObjectName(QStringLiteral("sensors.quit"));
    connect(quit, &QPushButton::clicked, this, [this] { quit_(); });
    row->addWidget(quit);
    stack->addLayout(row);
    stack->addStretch();

    setWidget(content);
}

void SensorCompanionSettingsView::scheduleRefresh()
{
    if (refreshScheduled_) {
        return;
    }
    refreshScheduled_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            refreshScheduled_ = false;
            refresh();
        },
        Qt::QueuedConnection);
}

void SensorCompanionSettingsView::refresh()
{
    const SensorCompanionSetupState& state = *state_;
    service_->setChecked(state.enabled());
    service_->setEnabled(!state.busy());
    login_->setChecked(loginShownAsOn(state.loginStatus()));
    login_->setEnabled(!state.loginBusy());
    loginSettings_->setVisible(state.loginStatus() == LoginItemStatus::requiresApproval);
    loginError_->setVisible(state.loginError().has_value());
    if (state.loginError()) {
        loginError_->setText(tr("Login setting: %1").arg(QString::fromStdString(*state.loginError())));
    }
    storeError_->setVisible(state.storeError().has_value());
    if (state.storeError()) {
        storeError_->setText(tr("Sensors setting not saved: %1").arg(QString::fromStdString(*state.storeError())));
    }

    QString status;
    if (state.sensorFailed()) {
        status = tr("Unavailable");
    } else if (state.busy()) {
        status = tr("Starting");
    } else if (state.running()) {
        status = tr("Live");
    }
    status_->setText(status);
    status_->setVisible(!status.isEmpty());
    retry_->setVisible(state.sensorFailed());
    retry_->setEnabled(!state.busy());
}

} // namespace quorvantile::setup
