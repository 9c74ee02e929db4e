#pragma once
extern const unsigned char oemToAnsi[256];
