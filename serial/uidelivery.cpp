#include "serial/uidelivery.h"

#include <QMetaObject>

UiDelivery::UiDelivery() { context_.serve = [this] { Serve(); }; }

void UiDelivery::CallPosted() { QMetaObject::invokeMethod(&context_, "Serve", Qt::QueuedConnection); }

std::unique_ptr<Delivery> MakeUiDelivery() { return std::make_unique<UiDelivery>(); }
