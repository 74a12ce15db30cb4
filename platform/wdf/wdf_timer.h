// WDF timers and work items. They run on the machine's clock.
#pragma once

#include "platform/wdf/wdf_types.h"

using EVT_WDF_TIMER = void(WDFTIMER Timer);
using PFN_WDF_TIMER = EVT_WDF_TIMER*;

struct WDF_TIMER_CONFIG {
    ULONG Size;
    PFN_WDF_TIMER EvtTimerFunc;
    ULONG Period; // ms; 0 = one-shot
    BOOLEAN AutomaticSerialization;
    ULONG TolerableDelay;
    BOOLEAN UseHighResolutionTimer;
};
using PWDF_TIMER_CONFIG = WDF_TIMER_CONFIG*;

inline void WDF_TIMER_CONFIG_INIT(PWDF_TIMER_CONFIG config, PFN_WDF_TIMER evtTimerFunc) {
    std::memset(config, 0, sizeof(WDF_TIMER_CONFIG));
    config->Size = sizeof(WDF_TIMER_CONFIG);
    config->EvtTimerFunc = evtTimerFunc;
    config->AutomaticSerialization = TRUE;
}
inline void WDF_TIMER_CONFIG_INIT_PERIODIC(PWDF_TIMER_CONFIG config, PFN_WDF_TIMER evtTimerFunc,
                                           LONG period) {
    WDF_TIMER_CONFIG_INIT(config, evtTimerFunc);
    config->Period = static_cast<ULONG>(period);
}

// The attributes must name a parent object.
NTSTATUS WdfTimerCreate(PWDF_TIMER_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes,
                        WDFTIMER* Timer);
// DueTime in 100 ns units, negative = relative. TRUE when the timer was
// already queued (it is moved to the new due time).
BOOLEAN WdfTimerStart(WDFTIMER Timer, LONGLONG DueTime);
// TRUE when the timer was queued and will not run; with Wait, a running
// callback has returned before this does.
BOOLEAN WdfTimerStop(WDFTIMER Timer, BOOLEAN Wait);
WDFOBJECT WdfTimerGetParentObject(WDFTIMER Timer);

using EVT_WDF_WORKITEM = void(WDFWORKITEM WorkItem);
using PFN_WDF_WORKITEM = EVT_WDF_WORKITEM*;

struct WDF_WORKITEM_CONFIG {
    ULONG Size;
    PFN_WDF_WORKITEM EvtWorkItemFunc;
    BOOLEAN AutomaticSerialization;
};
using PWDF_WORKITEM_CONFIG = WDF_WORKITEM_CONFIG*;

inline void WDF_WORKITEM_CONFIG_INIT(PWDF_WORKITEM_CONFIG config,
                                     PFN_WDF_WORKITEM evtWorkItemFunc) {
    std::memset(config, 0, sizeof(WDF_WORKITEM_CONFIG));
    config->Size = sizeof(WDF_WORKITEM_CONFIG);
    config->EvtWorkItemFunc = evtWorkItemFunc;
    config->AutomaticSerialization = TRUE;
}

// The attributes must name a parent object.
NTSTATUS WdfWorkItemCreate(PWDF_WORKITEM_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes,
                           WDFWORKITEM* WorkItem);
// Queues one run; enqueueing an item that is queued and not yet running does nothing.
void WdfWorkItemEnqueue(WDFWORKITEM WorkItem);
// Waits until the item is neither queued nor running.
void WdfWorkItemFlush(WDFWORKITEM WorkItem);
WDFOBJECT WdfWorkItemGetParentObject(WDFWORKITEM WorkItem);
