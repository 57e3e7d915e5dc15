#include "app/PatientInfo.h"

#include <QGridLayout>
#include <QGuiApplication>
#include <QScreen>
#include <QScrollArea>
#include <QStringDecoder>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "dicom/HeaderFacts.h"

QString HeaderText(const std::string& text) {
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString decoded = utf8.decode(QByteArrayView(text.data(), qsizetype(text.size())));
  if (!utf8.hasError()) return decoded;
  return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

// QString::number never uses the locale, so both formats print "." whatever
// the user's settings.
QString FormatGeneral(double value) {
  return QString::number(value, 'g', 15);
}

QString FormatFixed4(double value) {
  if (!std::isfinite(value)) return QString::number(value);
  // Four significant digits first, then exactly four decimals.
  const double rounded = QString::number(value, 'e', 3).toDouble();
  return QString::number(rounded, 'f', 4);
}

// ---- TCategoryPanel -------------------------------------------------------

TCategoryPanel::TCategoryPanel(const QString& caption, QWidget* parent) : QWidget(parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  FHeader = new QToolButton(this);
  FHeader->setText(caption);
  FHeader->setCheckable(true);
  FHeader->setChecked(true);
  FHeader->setArrowType(Qt::DownArrow);
  FHeader->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  FHeader->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  QFont f = FHeader->font();
  f.setBold(true);
  FHeader->setFont(f);
  layout->addWidget(FHeader);
  FBody = new QWidget(this);
  FGrid = new QGridLayout(FBody);
  FGrid->setContentsMargins(6, 4, 6, 8);
  FGrid->setHorizontalSpacing(8);
  FGrid->setVerticalSpacing(6);
  for (int c = 0; c < 4; ++c) FGrid->setColumnStretch(c, 1);  // equal columns
  layout->addWidget(FBody);
  connect(FHeader, &QToolButton::toggled, this, [this](bool open) { setCollapsed(!open); });
}

bool TCategoryPanel::Collapsed() const {
  return FBody->isHidden();
}

void TCategoryPanel::setCollapsed(bool collapsed) {
  FBody->setVisible(!collapsed);
  FHeader->setArrowType(collapsed ? Qt::RightArrow : Qt::DownArrow);
  if (FHeader->isChecked() == collapsed) FHeader->setChecked(!collapsed);
}

QString TCategoryPanel::Caption() const {
  return FHeader->text();
}

// ---- TPatientInfoForm -------------------------------------------------------

TPatientInfoForm::TPatientInfoForm(QWidget* parent) : QDialog(parent) {
  setObjectName("PatientInfoForm");
  setWindowTitle("Patient Information");
  setModal(false);
  resize(681, 450);

  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  FScroll = new QScrollArea(this);
  FScroll->setWidgetResizable(true);
  FScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  outer->addWidget(FScroll);
  auto* content = new QWidget;
  FPanels = new QVBoxLayout(content);
  FPanels->setContentsMargins(4, 4, 4, 4);
  FPanels->setSpacing(4);
  FScroll->setWidget(content);

  GeneralPanel = new TCategoryPanel("General", content);
  PatientPanel = new TCategoryPanel("Patient", content);
  StudyPanel = new TCategoryPanel("Study", content);
  SeriesPanel = new TCategoryPanel("Series", content);
  ImagePanel = new TCategoryPanel("Image", content);
  GeneralPanel->setObjectName("GeneralPanel");
  PatientPanel->setObjectName("PatientPanel");
  StudyPanel->setObjectName("StudyPanel");
  SeriesPanel->setObjectName("SeriesPanel");
  ImagePanel->setObjectName("ImagePanel");
  GeneralPanel->hide();
  for (auto* p : {GeneralPanel, PatientPanel, StudyPanel, SeriesPanel, ImagePanel})
    FPanels->addWidget(p);
  FPanels->addStretch(1);

  AddRow(PatientPanel, 0, "Patient Name", patNameValue, "Patient ID", &patIDValue);
  AddRow(PatientPanel, 1, "Patient Sex", patSexValue, "Patient DOB", &patDOBValue);

  AddRow(StudyPanel, 0, "Study ID", studyIDValue, "Study Date", &studyDateValue);
  AddRow(StudyPanel, 1, "Study InstanceUID", studyInstUidValue, "Study Time", &studyTimeValue);
  AddRow(StudyPanel, 2, "Study Description", studyDescValue);

  AddRow(SeriesPanel, 0, "Series InstanceUID", serInstUIDValue, "Series date", &serDateValue);
  AddRow(SeriesPanel, 1, "Series Number", serNumValue, "Series Time", &serTimeValue);
  AddRow(SeriesPanel, 2, "Series Description", serDescValue);

  AddRow(ImagePanel, 0, "Image Size", imgSizeValue, "Frames", &imgFramesValue);
  AddRow(ImagePanel, 1, "Pixel Spacing", imgPixelSpacingValue, "Image Position", &imgPosValue);
  AddRow(ImagePanel, 2, "Image Orientation", imgOriValue, "Compression", &imgCompValue);
  AddRow(ImagePanel, 3, "MonoChrome", imgMonoValue, "Image Number", &imgNumValue);
  AddRow(ImagePanel, 4, "Slope", imgSlopeValue, "Intercept", &imgInterceptValue);
  AddRow(ImagePanel, 5, "Window Width", imgWWValue, "Window Level", &imgWLValue);
  AddRow(ImagePanel, 6, "Pixel Representation", imgPixRepValue);
  const std::pair<QLabel*, const char*> names[] = {
      {patNameValue, "patNameValue"},
      {patIDValue, "patIDValue"},
      {patSexValue, "patSexValue"},
      {patDOBValue, "patDOBValue"},
      {studyIDValue, "studyIDValue"},
      {studyDateValue, "studyDateValue"},
      {studyInstUidValue, "studyInstUidValue"},
      {studyTimeValue, "studyTimeValue"},
      {studyDescValue, "studyDescValue"},
      {serInstUIDValue, "serInstUIDValue"},
      {serDateValue, "serDateValue"},
      {serNumValue, "serNumValue"},
      {serTimeValue, "serTimeValue"},
      {serDescValue, "serDescValue"},
      {imgSizeValue, "imgSizeValue"},
      {imgFramesValue, "imgFramesValue"},
      {imgPixelSpacingValue, "imgPixelSpacingValue"},
      {imgPosValue, "imgPosValue"},
      {imgOriValue, "imgOriValue"},
      {imgCompValue, "imgCompValue"},
      {imgMonoValue, "imgMonoValue"},
      {imgNumValue, "imgNumValue"},
      {imgSlopeValue, "imgSlopeValue"},
      {imgInterceptValue, "imgInterceptValue"},
      {imgWWValue, "imgWWValue"},
      {imgWLValue, "imgWLValue"},
      {imgPixRepValue, "imgPixRepValue"},
  };
  for (const auto& [label, name] : names) label->setObjectName(name);
  // Two rows of empty labels close the image grid.
  for (int r = 7; r < 9; ++r)
    for (int c = 0; c < 4; ++c) ImagePanel->grid()->addWidget(new QLabel(ImagePanel->body()), r, c);
  // Extra height goes below the rows, not between them.
  ImagePanel->grid()->setRowStretch(9, 1);
}

void TPatientInfoForm::AddRow(TCategoryPanel* panel, int row, const QString& leftCaption,
                              QLabel*& leftValue, const QString& rightCaption,
                              QLabel** rightValue) {
  auto addPair = [&](int col, const QString& caption) {
    auto* cap = new QLabel(caption, panel->body());
    QFont f = cap->font();
    f.setBold(true);
    cap->setFont(f);
    auto* value = new QLabel(panel->body());
    value->setAlignment(Qt::AlignCenter);
    value->setWordWrap(true);
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    panel->grid()->addWidget(cap, row, col);
    panel->grid()->addWidget(value, row, col + 1);
    return value;
  };
  leftValue = addPair(0, leftCaption);
  if (rightValue) *rightValue = addPair(2, rightCaption);
}

namespace {

const char* kNotGiven = "not given";

QString Spacing(double row, double column) {
  return "Y:" + FormatFixed4(row) + " X:" + FormatFixed4(column);
}

// A UID as stored: the reader keeps blanks where the file has dots.
QString Uid(const std::string& readerText) {
  QString t = HeaderText(readerText).trimmed();
  t.replace(QLatin1Char(' '), QLatin1Char('.'));
  return t.isEmpty() ? QString(kNotGiven) : t;
}

QString Given(const std::optional<std::string>& v) {
  return v ? HeaderText(*v) : QString(kNotGiven);
}

// Without the file, the transfer syntax the header kept, else what its flags name.
QString CompressionOfFlags(const DICOMdata& h) {
  if (!h.TransferSyntaxUID.empty()) return HeaderText(TransferSyntaxName(h.TransferSyntaxUID));
  if (h.JPEGJ2k) return "JPEG 2000";
  if (h.JPEGlosslessCpt) return "JPEG Lossless";
  if (h.JPEGlossyCpt) return "JPEG Lossy";
  if (h.RunLengthEncoding) return "RLE Lossless";
  return "Uncompressed";
}

}  // namespace

void TPatientInfoForm::Display(const DICOMdata& header) {
  FHeader = header;
  const DICOMdata& h = FHeader;
  // The file's own elements tell what is absent and how values are stored.
  const HeaderFacts f = h.referenceFile.empty() ? HeaderFacts{} : ReadHeaderFacts(h.referenceFile);

  patNameValue->setText(HeaderText(h.PatientName));
  patIDValue->setText(HeaderText(h.PatientID));
  patDOBValue->setText(HeaderText(h.PatientBirthDate));
  patSexValue->setText(HeaderText(h.PatientSex));

  studyDateValue->setText(HeaderText(h.studydate_formated));
  studyTimeValue->setText(HeaderText(h.Study_Time));
  studyIDValue->setText(HeaderText(h.Study_ID));
  studyInstUidValue->setText(f.read ? Given(f.studyUid) : Uid(h.Study_Instance_UID));
  studyDescValue->setText(HeaderText(h.Study_Description));

  serNumValue->setText(QString::number(h.SeriesNum));
  serInstUIDValue->setText(f.read ? Given(f.seriesUid) : Uid(h.Series_Instance_UID));
  serDateValue->setText(HeaderText(h.SeriesDate));
  serTimeValue->setText(HeaderText(h.Series_Time));
  serDescValue->setText(HeaderText(h.Series_Description));

  imgSizeValue->setText(QString::number(h.XYZdim[0]) + " X " + QString::number(h.XYZdim[1]));
  // Y is the spacing between rows (Pixel Spacing's first value), X between columns.
  QString spacing = Spacing(h.XYZmm[1], h.XYZmm[0]);
  if (f.read) {
    if (f.pixelSpacing)
      spacing = Spacing(f.pixelSpacing->first, f.pixelSpacing->second);
    else if (f.imagerSpacing)
      spacing = QString(kNotGiven) + " (Imager Pixel Spacing " +
                Spacing(f.imagerSpacing->first, f.imagerSpacing->second) + ")";
    else if (f.ultrasoundRegions)
      spacing = QString(kNotGiven) + " (ultrasound regions are calibrated)";
    else
      spacing = kNotGiven;
  }
  imgPixelSpacingValue->setText(spacing);
  const auto& o = h.IMAGE_ORIENTATION_PATIENT;
  const bool noCosines = std::all_of(o.begin(), o.end(), [](double v) { return v == 0; });
  QStringList cosines;
  for (double v : o) cosines << FormatGeneral(v);
  imgOriValue->setText(f.read ? Given(f.orientation) : noCosines ? kNotGiven : cosines.join(", "));
  imgMonoValue->setText(QString::number(h.Monochrome));
  imgPixRepValue->setText(QString::number(h.pixel_representation));
  imgFramesValue->setText(QString::number(h.XYZdim[2]));
  imgPosValue->setText(f.read ? Given(f.position)
                              : FormatGeneral(h.image_Postion[0]) + ", " +
                                    FormatGeneral(h.image_Postion[1]) + ", " +
                                    FormatGeneral(h.image_Postion[2]));
  imgCompValue->setText(f.read ? HeaderText(TransferSyntaxName(f.transferSyntax))
                               : CompressionOfFlags(h));
  imgNumValue->setText(QString::number(h.ImageNum));
  imgSlopeValue->setText(f.read && !f.slope ? kNotGiven : FormatGeneral(double(h.IntenScale)));
  imgInterceptValue->setText(f.read && !f.intercept ? kNotGiven
                                                    : FormatGeneral(double(h.IntenIntercept)));
  imgWWValue->setText(f.read && !f.windowWidth ? kNotGiven
                                               : QString::number(h.WindowWidth, 'g', 12));
  imgWLValue->setText(f.read && !f.windowCenter ? kNotGiven
                                                : QString::number(h.WindowCenter, 'g', 12));

  // As tall as the screen's work area; the image panel takes what the other
  // three leave.
  QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
  const QRect work = screen ? screen->availableGeometry() : QRect(0, 0, 681, 450);
  const int height = work.height() > 0 ? work.height() : 450;
  resize(681, height);
  const int rest = height - PatientPanel->sizeHint().height() - StudyPanel->sizeHint().height() -
                   SeriesPanel->sizeHint().height() - 40;
  ImagePanel->setMinimumHeight(qMax(ImagePanel->sizeHint().height(), rest));
  if (!isVisible()) move(work.center() - QPoint(681 / 2, height / 2));
  show();
  raise();
  activateWindow();
}
