// The five test transfers of velcon's menu.
#pragma once

// What the menu loop does after an item.
enum class ItemEnd {
  kBackToMenu,
  kInputEnded,  // standard input ended: the program ends as for '0'
};

ItemEnd ReadMarkers(int handle);         // '1'
ItemEnd ReadInputs(int handle);          // '2'
ItemEnd WriteOutputs(int handle);        // '3'
ItemEnd ReadRegisterWords(int handle);   // '4'
ItemEnd WriteRegisterWords(int handle);  // '5'
