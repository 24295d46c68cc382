// The seal-change preparation: after a confirmation it flushes the pumps, turns the valves to
// position 5, has the operator take the flush line out of its bottle, moves the syringes to
// 65 ml and hands over to the operating manual. The main loop calls Step once per tick in
// mode 18. Its window is never shown.
#pragma once
#include <cstdint>

#include "unicode/UxForms.h"

class TChangeSeal : public TUxForm {
    Q_OBJECT
  public:
    static constexpr uint8_t SealEnd = 9;
    static constexpr uint8_t SealParked = 10;         // a box is open: ticks do nothing
    static constexpr double SealChangeVolume = 65.0;  // ml

    explicit TChangeSeal(QWidget* owner = nullptr);
    ~TChangeSeal() override;

    bool StartProcedure();
    // One tick; false once the procedure is over.
    bool Step();

    uint8_t SealState = 0;

  private:
    bool valvesAt(int8_t p) const;
};

// The seal change, created at start-up.
extern TChangeSeal* ChangeSeal;
