#include "app/uMain.h"

#include "facebook/Facebook.h"
#include "framework/RqSettings.h"

#include <QLabel>

using namespace Qt::StringLiterals;

TDornFBUMainForm::TDornFBUMainForm(QWidget *parent) : QMainWindow(parent) {
    setObjectName(u"DornFBUMainForm"_s);
    TRqSettings *settings = GlobalSettings();
    // Every Facebook client the window creates talks to the addresses the
    // settings name (Facebook itself unless a profile points elsewhere).
    TFacebook::SetDefaultEndpoints(FacebookEndpointsFromSettings(*settings));
    const QString name = settings->GetSettingString(u"App.Name"_s);
    setWindowTitle(name + u' ' + settings->GetSettingString(u"App.Ver"_s));
    auto *label = new QLabel(name, this);
    label->setAlignment(Qt::AlignCenter);
    setCentralWidget(label);
    resize(640, 480);
}
