#pragma once

#include "output/OutputStatus.h"
#include "pipeline/OutputPlan.h"

#include <QString>
#include <QWidget>

#include <array>
#include <functional>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class StreamUrlEdit;
class QPushButton;
class QSlider;
class QVBoxLayout;

// Where the program goes: an optional recording file, up to six network streams, the output
// size, the record gain and the Start/Stop button, with a short status list of the running
// targets below. It holds no output logic: the main window reads the values and starts or
// stops the output, and tells the panel when the output really runs.
//
// Threads: the GUI thread only.
class OutputSettingsWidget : public QWidget {
    Q_OBJECT
public:
    static constexpr int kStreamRows = 6;

    // The save dialog of the browse button: (parent, title, proposed path, filter) -> chosen
    // path, empty when cancelled. Tests put their own in place so nothing waits on a dialog.
    using SaveFileDialog = std::function<QString(QWidget *parent, const QString &title,
                                                 const QString &proposed, const QString &filter)>;
    // An empty function brings the real dialog back.
    static void setSaveFileDialog(SaveFileDialog dialog);

    explicit OutputSettingsWidget(QWidget *parent = nullptr);

    QString outputFile() const;
    // The check box is ticked and the trimmed path is not empty.
    bool isFileOutputEnabled() const;
    int streamRowCount() const { return kStreamRows; }
    // Empty for a row outside 0 … 5.
    QString streamProtocol(int row) const;
    QString streamUrl(int row) const;
    // The row is ticked and its trimmed URL is not empty; false for a row outside 0 … 5.
    bool isStreamEnabled(int row) const;
    // 0 × 0 means "same as the program".
    int outputWidth() const;
    int outputHeight() const;
    float recordLinearGain() const;
    OutputSettings settings() const;

    bool isOutputRunning() const { return outputRunning_; }
    // While running, addresses, protocols, the file path and the resolution are locked; the
    // check boxes and the record gain stay usable.
    void setOutputRunning(bool running);
    bool isChineseUi() const { return chineseUi_; }
    void setChineseUi(bool chinese);

    // One line per entry under the controls, coloured by level. Called a few times a second:
    // the labels are kept and reused.
    void setStatusLines(const std::vector<OutputStatusLine> &lines);

signals:
    void outputFileChanged(QString file);
    void streamSettingsChanged();
    void outputDimensionsChanged(int width, int height);
    void startOutputRequested();
    void stopOutputRequested();
    void outputTargetsChanged();
    void programRecordLinearGainChanged(float linearGain);

private:
    struct StreamRow {
        QCheckBox *enabled = nullptr;
        QComboBox *protocol = nullptr;
        StreamUrlEdit *url = nullptr;
    };

    void browse();
    void synchroniseCheckBoxes();
    void applyTexts();
    void updateGainLabel();

    QCheckBox *fileCheck_ = nullptr;
    QLineEdit *filePath_ = nullptr;
    QPushButton *browseButton_ = nullptr;
    QLabel *resolutionLabel_ = nullptr;
    QComboBox *resolution_ = nullptr;
    QLabel *gainLabel_ = nullptr;
    QSlider *gainSlider_ = nullptr;
    QLabel *gainValue_ = nullptr;
    std::array<StreamRow, kStreamRows> rows_;
    QVBoxLayout *statusLayout_ = nullptr;
    std::vector<QLabel *> statusLabels_;
    QPushButton *startStop_ = nullptr;

    bool outputRunning_ = false;
    bool chineseUi_ = true;
};
