// Status lamps: a small lit/unlit lamp control, and a controller that watches one port
// through its triggers and drives up to eight lamps (modem lines, Tx/Rx activity, errors).
#pragma once
#include <QColor>
#include <QPixmap>
#include <QPointer>
#include <QWidget>
#include <cstdint>

#include "ports/ZpComPort.h"
#include "ports/ZpUtils.h"

class TZpCustomStatusLight : public TZpBaseGraphicControl {
  public:
    explicit TZpCustomStatusLight(QWidget* parent = nullptr);
    bool GetLit() const { return lit_; }
    void SetLit(bool v);
    QColor GetLitColor() const { return litColor_; }
    void SetLitColor(const QColor& c);
    QColor GetNotLitColor() const { return notLitColor_; }
    void SetNotLitColor(const QColor& c);
    const QPixmap& GetGlyph() const { return glyph_; }
    void SetGlyph(const QPixmap& g);
    void SetBounds(int left, int top, int width, int height);

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    QPixmap glyph_;
    bool lit_ = false;
    QColor litColor_{255, 0, 0};
    QColor notLitColor_{0, 128, 0};
    bool hasGlyph_ = false;
};

class TZpStatusLight : public TZpCustomStatusLight {
  public:
    explicit TZpStatusLight(QWidget* parent = nullptr) : TZpCustomStatusLight(parent) {}
};

// Each reference clears itself when its lamp is destroyed: the controller never reaches a lamp
// that is gone, whatever order the form deletes things in.
struct TLightSet {
    QPointer<TZpCustomStatusLight> CTSLight;
    QPointer<TZpCustomStatusLight> DSRLight;
    QPointer<TZpCustomStatusLight> DCDLight;
    QPointer<TZpCustomStatusLight> RINGLight;
    QPointer<TZpCustomStatusLight> TXDLight;
    QPointer<TZpCustomStatusLight> RXDLight;
    QPointer<TZpCustomStatusLight> ERRORLight;
    QPointer<TZpCustomStatusLight> BREAKLight;
};

class TZpCustomSLController : public TZpBaseComponent {
  public:
    explicit TZpCustomSLController(QObject* owner = nullptr);
    ~TZpCustomSLController() override;
    TZpCustomComPort* GetComPort() const { return comPort_.data(); }
    void SetComPort(TZpCustomComPort* p);
    TLightSet& Lights() { return lights_; }
    void SetLights(const TLightSet& l) { lights_ = l; }
    bool GetMonitoring() const { return monitoring_; }
    void SetMonitoring(bool on);
    void Loaded();
    int32_t ErrorOffTimeout = 36, BreakOffTimeout = 36, RXDOffTimeout = 1, TXDOffTimeout = 1,
            RingOffTimeout = 8;
    bool HaveCTSLight() const { return lights_.CTSLight; }
    bool HaveDSRLight() const { return lights_.DSRLight; }
    bool HaveDCDLight() const { return lights_.DCDLight; }
    bool HaveRINGLight() const { return lights_.RINGLight; }
    bool HaveTXDLight() const { return lights_.TXDLight; }
    bool HaveRXDLight() const { return lights_.RXDLight; }
    bool HaveERRORLight() const { return lights_.ERRORLight; }
    bool HaveBREAKLight() const { return lights_.BREAKLight; }
    // The form removed a component: a removed port detaches, a removed lamp is forgotten.
    // A port or lamp destroyed anywhere is removed the same way.
    void Notification(QObject* removed);
    // The form gained a component: a port attaches the controller while it has none.
    void Inserted(QObject* component);

  protected:
    // Watches the owner for components added to it.
    bool eventFilter(QObject* watched, QEvent* e) override;

  private:
    void attachPort(TZpCustomComPort* p);
    void portDestroyed();
    void addTriggers();
    void removeTriggers();
    void initLights();
    void portOpenClose(TZpCustomComPort* cp, bool opening);
    void onAvail(TZpCustomComPort* cp, uint16_t count);
    void onStatus(TZpCustomComPort* cp, uint16_t handle);
    void onTimer(TZpCustomComPort* cp, uint16_t handle);
    static void setLamp(const QPointer<TZpCustomStatusLight>& l, bool on) {
        if (l && l->GetLit() != on) l->SetLit(on);
    }

    // Not owned; forgotten when the port is destroyed.
    QPointer<TZpCustomComPort> comPort_;
    bool monitoring_ = false;
    bool monitoringWanted_ = false;
    TLightSet lights_;
    TTriggerAvailEvent savedAvail_;
    TTriggerHandleEvent savedStatus_, savedTimer_;
    uint32_t modemMask_ = 0;
    uint16_t msTrig_ = 0, errorTrig_ = 0, breakTrig_ = 0, errorTimer_ = 0, breakTimer_ = 0, rxdTimer_ = 0,
             txdTrig_ = 0, txdTimer_ = 0, ringTimer_ = 0;
};

class TZpSLController : public TZpCustomSLController {
  public:
    explicit TZpSLController(QObject* owner = nullptr) : TZpCustomSLController(owner) {}
};
