// The declarative user interface: views, text, toggles, observed objects and the view host.
#pragma once

#include "platform/swiftui/ObservedObject.h"
#include "platform/swiftui/Text.h"
#include "platform/swiftui/Toggle.h"
#include "platform/swiftui/View.h"
#include "platform/swiftui/ViewHost.h"
