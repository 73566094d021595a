#include "KorvuDarivir/Windows/SettingsView.h"

#include "KorvuDarivir/Store/Permissions.h"
#include "KorvuDarivir/Store/AppModel.h"
#include "KorvuDarivir/Store/FailureText.h"
#include "KorvuDarivir/Store/HistoryStore.h"
#include "KorvuDarivir/Store/Settings.h"
#include "KorvuDarivir/Store/Vocabulary.h"
#include "KorvuDarivir/UI/BrandToggle.h"
#include "KorvuDarivir/UI/PrimaryButton.h"
#include "KorvuDarivir/UI/SecondaryButton.h"
#include "KorvuDarivir/Windows/ApiKeyEditor.h"
#include "KorvuDarivir/Windows/Form.h"
#include "KorvuDarivir/Windows/MicrophonePicker.h"
#include "KorvuDarivir/Windows/ModelCard.h"
#include "KorvuDarivir/Windows/ShortcutRecorder.h"
#include "Platform/Defaults/UserDefaults.h"

#include <QClipboard>
#include <QComboBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QScrollArea>
#include <QTabWidget>
#include <QVBoxLayout>

namespace korvu {

namespace {

platform::UserDefaults& defaults()
{
    return platform::UserDefaults::standard();
}

const QString tabKey = QString::fromLatin1(Settings::settingsTabKey);

QString tabTitle(SettingsTab tab)
{
    switch (tab) {
    case SettingsTab::dictation:
        return QStringLiteral("Diktat");
    case SettingsTab::cleanup:
        return QStringLiteral("Bereinigung");
    case SettingsTab::vocabulary:
        return QStringLiteral("Wörterbuch");
    case SettingsTab::history:
        return QStringLiteral("Verlauf");
    case SettingsTab::system:
        return QStringLiteral("System");
    }
    return {};
}

// A switch bound to a Boolean setting both ways.
BrandToggle* boundToggle(const char* key, QWidget* owner)
{
    const QString name = QString::fromLatin1(key);
    auto* toggle = new BrandToggle(name);
    toggle->setChecked(defaults().boolean(name));
    QObject::connect(toggle, &QAbstractButton::toggled, toggle, [name](bool on) {
        if (defaults().boolean(name) != on) {
            defaults().set(name, on);
        }
    });
    QObject::connect(&defaults(), &platform::UserDefaults::changed, owner, [toggle, name](const QString& changed) {
        if (changed == name && toggle->isChecked() != defaults().boolean(name)) {
            toggle->setChecked(defaults().boolean(name));
        }
    });
    return toggle;
}

// A page: its cards one below the other, scrolling when they do not fit.
QWidget* page(const QList<QWidget*>& cards)
{
    auto* content = new QWidget;
    content->setObjectName(QStringLiteral("page"));
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(18, 16, 18, 16);
    layout->setSpacing(12);
    for (QWidget* card : cards) {
        layout->addWidget(card);
    }
    layout->addStretch();
    auto* scroll = new QScrollArea;
    scroll->setWidget(content);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    return scroll;
}

QString styleName(CleanupStyle style)
{
    switch (style) {
    case CleanupStyle::neutral:
        return QStringLiteral("Neutral");
    case CleanupStyle::message:
        return QStringLiteral("Nachricht (locker, kurz)");
    case CleanupStyle::email:
        return QStringLiteral("E-Mail (mit Absätzen)");
    case CleanupStyle::note:
        return QStringLiteral("Notiz (knapp)");
    }
    return {};
}

QString appName(StyleApp app)
{
    switch (app) {
    case StyleApp::whatsapp:
        return QStringLiteral("Messenger");
    case StyleApp::mail:
        return QStringLiteral("E-Mail-Programme");
    case StyleApp::notes:
        return QStringLiteral("Notizen");
    case StyleApp::other:
        return QStringLiteral("Alle anderen Programme");
    }
    return {};
}

}  // namespace

SettingsView::SettingsView(SystemActions system, QWidget* parent)
    : SettingsView(std::move(system), KeyStore::desktop(), parent)
{
}

SettingsView::SettingsView(SystemActions system, KeyStore& keys, QWidget* parent)
    : QWidget(parent), system_(std::move(system)), keys_(keys), tabs_(new QTabWidget(this))
{
    setObjectName(QStringLiteral("settings"));
    tabs_->addTab(dictationPage(), tabTitle(SettingsTab::dictation));
    tabs_->addTab(cleanupPage(), tabTitle(SettingsTab::cleanup));
    tabs_->addTab(vocabularyPage(), tabTitle(SettingsTab::vocabulary));
    tabs_->addTab(historyPage(), tabTitle(SettingsTab::history));
    tabs_->addTab(systemPage(), tabTitle(SettingsTab::system));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->addWidget(tabs_);
    form::applyTheme(this);

    followStoredTab();
    connect(tabs_, &QTabWidget::currentChanged, this, [](int index) {
        if (index < 0 || index >= static_cast<int>(allSettingsTabs.size())) {
            return;
        }
        const QString raw = rawValue(allSettingsTabs[static_cast<size_t>(index)]);
        if (defaults().string(tabKey).value_or(QString()) != raw) {
            defaults().set(tabKey, raw);
        }
    });
    connect(&defaults(), &platform::UserDefaults::changed, this, [this](const QString& key) {
        if (key == tabKey) {
            followStoredTab();
        } else if (key == QLatin1String(Settings::vocabularyKey)) {
            refreshVocabulary();
        }
    });
}

SettingsView::~SettingsView() = default;

SettingsTab SettingsView::tab() const
{
    return allSettingsTabs[static_cast<size_t>(std::max(0, tabs_->currentIndex()))];
}

void SettingsView::setTab(SettingsTab tab)
{
    tabs_->setCurrentIndex(static_cast<int>(tab));
}

// A missing or unknown value shows the first tab, without writing anything back.
void SettingsView::followStoredTab()
{
    const SettingsTab tab = settingsTab(defaults().string(tabKey).value_or(QString())).value_or(SettingsTab::dictation);
    if (tabs_->currentIndex() != static_cast<int>(tab)) {
        const QSignalBlocker quiet(tabs_);
        tabs_->setCurrentIndex(static_cast<int>(tab));
    }
}

QWidget* SettingsView::dictationPage()
{
    auto* language = new QComboBox;
    language->addItem(QStringLiteral("Deutsch"), QStringLiteral("de"));
    language->addItem(QStringLiteral("Englisch"), QStringLiteral("en"));
    language->addItem(QStringLiteral("Sprache automatisch erkennen"), QStringLiteral("auto"));
    const auto showLanguage = [language] {
        const int index = language->findData(defaults().string(QString::fromLatin1(Settings::languageKey)).value_or("de"));
        const QSignalBlocker quiet(language);
        language->setCurrentIndex(std::max(0, index));
    };
    showLanguage();
    connect(language, &QComboBox::activated, this, [language](int index) {
        defaults().set(QString::fromLatin1(Settings::languageKey), language->itemData(index));
    });
    connect(&defaults(), &platform::UserDefaults::changed, language, [showLanguage](const QString& key) {
        if (key == QLatin1String(Settings::languageKey)) {
            showLanguage();
        }
    });

    auto* speech = new QVBoxLayout;
    speech->addWidget(form::heading(QStringLiteral("Sprechen")));
    speech->addLayout(form::row(QStringLiteral("Sprache"), QString(), language));
    speech->addLayout(form::row(QStringLiteral("Mikrofon"), QString(), new MicrophonePicker));
    speech->addLayout(form::row(QStringLiteral("Gedrückt halten zum Sprechen"),
                                QStringLiteral("Aus: einmal drücken startet, noch einmal drücken beendet."),
                                boundToggle(Settings::holdToTalkKey, this)));

    auto* message = form::note(QString());
    message->hide();
    auto* shortcuts = new QVBoxLayout;
    shortcuts->addWidget(form::heading(QStringLiteral("Tastenkürzel")));
    for (const auto& [slot, title] : {std::pair{HotkeyCenter::dictation, QStringLiteral("Diktat")},
                                      std::pair{HotkeyCenter::addWord, QStringLiteral("Markiertes Wort ins Wörterbuch")}}) {
        auto* recorder = new ShortcutRecorder(slot);
        connect(recorder, &ShortcutRecorder::message, message, [message](const QString& text) {
            message->setText(text);
            message->setVisible(!text.isEmpty());
        });
        shortcuts->addLayout(form::row(title, QString(), recorder));
    }
    shortcuts->addWidget(message);

    auto* reset = new SecondaryButton(QStringLiteral("Position zurücksetzen"));
    reset->setEnabled(Settings::hasButtonOffsets());
    connect(reset, &QPushButton::clicked, this, [] { defaults().removeObject(QString::fromLatin1(Settings::buttonOffsetsKey)); });
    connect(&defaults(), &platform::UserDefaults::changed, reset, [reset](const QString& key) {
        if (key == QLatin1String(Settings::buttonOffsetsKey)) {
            reset->setEnabled(Settings::hasButtonOffsets());
        }
    });
    auto* button = new QVBoxLayout;
    button->addWidget(form::heading(QStringLiteral("Mikrofon-Knopf")));
    button->addLayout(form::row(QStringLiteral("Schwebenden Knopf am Textfeld zeigen"), QString(),
                                boundToggle(Settings::showFloatingButtonKey, this)));
    button->addLayout(form::row(QStringLiteral("Knopf verschiebbar"),
                                QStringLiteral("Die Position wird pro Programm gemerkt."),
                                boundToggle(Settings::movableButtonKey, this)));
    button->addLayout(form::row(QStringLiteral("Gemerkte Positionen"), QString(), reset));
    return page({form::card(speech), form::card(shortcuts), form::card(button)});
}

QWidget* SettingsView::cleanupPage()
{
    auto* cleanup = new QVBoxLayout;
    cleanup->addWidget(form::heading(QStringLiteral("Text bereinigen")));
    cleanup->addLayout(form::row(QStringLiteral("Diktate von einem Sprachmodell bereinigen lassen"),
                                 QStringLiteral("Zeichensetzung, Füllwörter und Selbstkorrekturen; der Text geht dafür "
                                                "an die Claude API."),
                                 boundToggle(Settings::cleanupEnabledKey, this)));

    keyEditor_ = new ApiKeyEditor(keys_);
    auto* key = new QVBoxLayout;
    key->addWidget(form::heading(QStringLiteral("API-Schlüssel")));
    key->addWidget(form::note(QStringLiteral("Er liegt im Schlüsselbund der Sitzung, nie in den Einstellungen.")));
    key->addWidget(keyEditor_);

    auto* styles = new QVBoxLayout;
    styles->addWidget(form::heading(QStringLiteral("Schreibstil je Programm")));
    for (const StyleApp app : {StyleApp::whatsapp, StyleApp::mail, StyleApp::notes, StyleApp::other}) {
        auto* choice = new QComboBox;
        for (const CleanupStyle style : {CleanupStyle::neutral, CleanupStyle::message, CleanupStyle::email, CleanupStyle::note}) {
            choice->addItem(styleName(style), rawValue(style));
        }
        choice->setCurrentIndex(choice->findData(rawValue(Settings::style(app))));
        connect(choice, &QComboBox::activated, this, [choice, app](int index) {
            if (const auto style = cleanupStyleFromRaw(choice->itemData(index).toString())) {
                Settings::setStyle(*style, app);
            }
        });
        styles->addLayout(form::row(appName(app), QString(), choice));
    }
    return page({form::card(cleanup), form::card(key), form::card(styles)});
}

QWidget* SettingsView::vocabularyPage()
{
    terms_ = new QListWidget;
    terms_->setMinimumHeight(220);
    auto* input = new QLineEdit;
    input->setPlaceholderText(QStringLiteral("Namen oder Begriffe, mit Komma getrennt"));
    auto* add = new PrimaryButton(QStringLiteral("Hinzufügen"));
    auto* remove = new SecondaryButton(QStringLiteral("Entfernen"));
    auto* feedback = form::note(QString());
    vocabularyFeedback_ = feedback;
    const auto addTerms = [this, input, feedback] {
        if (input->text().trimmed().isEmpty()) {
            return;
        }
        int added = 0;
        try {
            added = Vocabulary::add(input->text());
        } catch (const platform::WriteError& error) {
            // The input stays, so the next try needs no retyping.
            countedTerms_ = Vocabulary::terms();
            feedback->setText(QStringLiteral("Nicht gespeichert. ") + FailureText::notSaved(error));
            return;
        }
        countedTerms_ = Vocabulary::terms();
        feedback->setText(added == 1 ? QStringLiteral("1 Begriff hinzugefügt.")
                                     : QStringLiteral("%1 Begriffe hinzugefügt.").arg(added));
        if (added > 0) {
            input->clear();
        }
    };
    connect(add, &QPushButton::clicked, this, addTerms);
    connect(input, &QLineEdit::returnPressed, this, addTerms);
    connect(remove, &QPushButton::clicked, this, [this] {
        if (const QListWidgetItem* item = terms_->currentItem()) {
            try {
                Vocabulary::remove(item->text());
            } catch (const platform::WriteError& error) {
                countedTerms_ = Vocabulary::terms();
                vocabularyFeedback_->setText(QStringLiteral("Nicht gespeichert. ") + FailureText::notSaved(error));
            }
        }
    });
    auto* inputRow = new QHBoxLayout;
    inputRow->addWidget(input, 1);
    inputRow->addWidget(add);
    auto* content = new QVBoxLayout;
    content->addWidget(form::heading(QStringLiteral("Wörterbuch")));
    content->addWidget(form::note(QStringLiteral("Diese Schreibweisen gelten in jedem Diktat (höchstens %1 Begriffe, je %2 "
                                                 "Zeichen). Mit dem Tastenkürzel kommt ein markiertes Wort aus jedem "
                                                 "Programm dazu.")
                                      .arg(Vocabulary::maxTerms)
                                      .arg(Vocabulary::maxTermLength)));
    content->addLayout(inputRow);
    content->addWidget(feedback);
    content->addWidget(terms_);
    content->addWidget(remove, 0, Qt::AlignRight);
    refreshVocabulary();
    return page({form::card(content)});
}

void SettingsView::refreshVocabulary()
{
    const QStringList terms = Vocabulary::terms();
    QStringList shown;
    for (int i = 0; i < terms_->count(); ++i) {
        shown << terms_->item(i)->text();
    }
    if (shown != terms) {
        terms_->clear();
        terms_->addItems(terms);
    }
    // The count speaks of the last addition only: any other change of the list (a removal,
    // a word from the shortcut) makes it stale.
    if (vocabularyFeedback_ && terms != countedTerms_) {
        vocabularyFeedback_->clear();
    }
}

QWidget* SettingsView::historyPage()
{
    records_ = new QListWidget;
    records_->setMinimumHeight(240);
    records_->setWordWrap(true);
    auto* copy = new SecondaryButton(QStringLiteral("Kopieren"));
    auto* remove = new SecondaryButton(QStringLiteral("Löschen"));
    auto* clear = new SecondaryButton(QStringLiteral("Ganzen Verlauf löschen"));
    connect(copy, &QPushButton::clicked, this, [this] {
        if (const QListWidgetItem* item = records_->currentItem()) {
            QGuiApplication::clipboard()->setText(item->data(Qt::UserRole + 1).toString());
        }
    });
    connect(remove, &QPushButton::clicked, this, [this] {
        if (const QListWidgetItem* item = records_->currentItem()) {
            HistoryStore::shared().remove(QUuid(item->data(Qt::UserRole).toString()));
        }
    });
    connect(clear, &QPushButton::clicked, this, [] { HistoryStore::shared().clear(); });
    connect(&HistoryStore::shared(), &HistoryStore::recordsChanged, this, &SettingsView::refreshHistory);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(copy);
    buttons->addWidget(remove);
    buttons->addWidget(clear);
    notice_ = form::note(QString());
    notice_->setTextInteractionFlags(Qt::TextSelectableByMouse);  // the path can be copied
    notice_->hide();
    auto* content = new QVBoxLayout;
    content->addWidget(form::heading(QStringLiteral("Verlauf")));
    content->addWidget(notice_);
    content->addLayout(form::row(QStringLiteral("Diktate speichern"),
                                 QStringLiteral("Die letzten %1 Diktate bleiben auf diesem Rechner.").arg(HistoryStore::maxRecords),
                                 boundToggle(Settings::historyEnabledKey, this)));
    content->addWidget(records_);
    content->addLayout(buttons);
    refreshHistory();
    return page({form::card(content)});
}

void SettingsView::showNotice(const Hint& notice)
{
    notice_->setText(notice.detail ? notice.title + QStringLiteral(". ") + *notice.detail : notice.title);
    notice_->show();
    setTab(SettingsTab::history);
}

void SettingsView::refreshHistory()
{
    records_->clear();
    for (const DictationRecord& record : HistoryStore::shared().records()) {
        auto* item = new QListWidgetItem(
            QStringLiteral("%1 · %2\n%3").arg(HistoryStore::timeLabel(record.dateTime()), record.appName, record.text));
        item->setData(Qt::UserRole, record.id.toString());
        item->setData(Qt::UserRole + 1, record.text);
        records_->addItem(item);
    }
    if (records_->count() == 0) {
        auto* empty = new QListWidgetItem(QStringLiteral("Noch keine Diktate"));
        empty->setFlags(Qt::NoItemFlags);
        records_->addItem(empty);
    }
}

QWidget* SettingsView::systemPage()
{
    auto* accessibility = new QLabel;
    auto* grant = new AccessibilityGrant(new SecondaryButton(QStringLiteral("Erlauben …")), system_.requestAccessibility);
    auto* microphone = new QLabel;
    const auto showGrants = [accessibility, grant, microphone] {
        const bool trusted = AppModel::shared().accessibilityGranted();
        accessibility->setText(trusted ? QStringLiteral("Erlaubt") : QStringLiteral("Nicht erlaubt"));
        grant->setVisible(!trusted);
        if (trusted) {
            grant->clearHint();
        }
        microphone->setText(AppModel::shared().microphoneGranted() ? QStringLiteral("Erlaubt") : QStringLiteral("Nicht erlaubt"));
    };
    showGrants();
    connect(&AppModel::shared(), &AppModel::accessibilityGrantedChanged, this, showGrants);
    connect(&AppModel::shared(), &AppModel::microphoneGrantedChanged, this, showGrants);
    // The 1 s poll picks up the grant.
    auto* grantRow = new QHBoxLayout;
    grantRow->addWidget(accessibility);
    grantRow->addWidget(grant);
    auto* grantBox = new QWidget;
    grantBox->setLayout(grantRow);
    grantRow->setContentsMargins(0, 0, 0, 0);
    auto* permissions = new QVBoxLayout;
    permissions->addWidget(form::heading(QStringLiteral("Berechtigungen")));
    permissions->addLayout(form::row(QStringLiteral("Bedienungshilfen"),
                                     QStringLiteral("Nötig, um Textfelder zu finden und den Text einzufügen."), grantBox));
    permissions->addWidget(grant->detachHint());
    permissions->addLayout(form::row(QStringLiteral("Mikrofon"), QString(), microphone));

    auto* model = new QVBoxLayout;
    model->addWidget(form::heading(QStringLiteral("Sprachmodell")));
    model->addWidget(new ModelCard);

    auto* login = new BrandToggle(QStringLiteral("Bei der Anmeldung starten"));
    login->setChecked(system_.startsAtLogin());
    connect(login, &QAbstractButton::toggled, this, [this, login](bool on) {
        if (!system_.setStartsAtLogin(on)) {
            const QSignalBlocker quiet(login);
            login->setChecked(system_.startsAtLogin());
        }
    });
    auto* check = new SecondaryButton(QStringLiteral("Jetzt suchen"));
    connect(check, &QPushButton::clicked, this, [this] { system_.checkForUpdates(); });
    auto* system = new QVBoxLayout;
    system->addWidget(form::heading(QStringLiteral("System")));
    system->addLayout(form::row(QStringLiteral("Bei der Anmeldung starten"), QString(), login));
    const QString version = QStringLiteral("Version %1").arg(Settings::appVersion());
    // A build without a feed never checks by itself, so it offers no switch for it.
    if (system_.hasUpdateFeed) {
        auto* updates = new BrandToggle(QStringLiteral("Automatisch nach Updates suchen"));
        updates->setChecked(system_.automaticallyChecksForUpdates());
        connect(updates, &QAbstractButton::toggled, this,
                [this](bool on) { system_.setAutomaticallyChecksForUpdates(on); });
        system->addLayout(form::row(QStringLiteral("Automatisch nach Updates suchen"), version, updates));
        system->addLayout(form::row(QStringLiteral("Nach Updates suchen"), QString(), check));
    } else {
        system->addLayout(form::row(QStringLiteral("Nach Updates suchen"),
                                    version + QStringLiteral(" · Updates kommen über die Paketverwaltung."), check));
    }
    return page({form::card(permissions), form::card(model), form::card(system)});
}

}  // namespace korvu
