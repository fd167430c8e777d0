// Installing and removing the gateway as a service (interactive: the outcome
// is shown in message boxes).
#pragma once

void InstallService();
void RemoveService();
