#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class QWidget;

// The dialogs the controller shows, apart from the window itself: a modal panel that blocks until
// answered, the device chooser, sheets on the window that return at once, the open sheet and the
// About panel. The application uses QtDialogPresenter; tests put a scripted one in its place.
class DialogPresenter {
public:
    // The answers of a modal panel.
    static constexpr int defaultButton = 1;
    static constexpr int alternateButton = 0;

    virtual ~DialogPresenter();

    // An application-modal panel; blocks until a button is pressed and answers defaultButton or
    // alternateButton. An empty alternate text means a single button.
    virtual int RunAlertPanel(QWidget* window, const QString& title, const QString& message,
                              const QString& defaultText, const QString& alternateText) = 0;
    // An application-modal list of devices with OK and Cancel; blocks until answered and answers the
    // index of the chosen device, or -1 when cancelled (Cancel, Escape, the dialog closed).
    virtual int ChooseDevice(QWidget* window, const QString& title, const QString& message,
                             const QStringList& devices) = 0;
    // A message sheet on the window with one button; returns at once and reports nothing.
    virtual void BeginAlertSheet(QWidget* window, const QString& title, const QString& button,
                                 const QString& message) = 0;
    // A stop alert on the window with the platform's single button; returns at once, and calls
    // didEnd with the return code once it has been dismissed.
    virtual void BeginStopAlert(QWidget* window, const QString& messageText, const QString& informativeText,
                                std::function<void(int returnCode)> didEnd) = 0;
    // The open sheet on the window offering files of the given types (extensions without the dot);
    // returns at once, and calls didEnd with 1 and the chosen path, or another code when cancelled.
    virtual void BeginOpenSheet(QWidget* window, const QStringList& fileTypes,
                                std::function<void(int returnCode, const QString& path)> didEnd) = 0;
    // The About panel with the application's version and the build version.
    virtual void ShowAboutPanel(QWidget* window, const QString& applicationVersion,
                                const QString& version) = 0;
};
