// The protocols the viewer ships with, in the same schema as the user's file
// (docs/hanging-protocols.md), so a user can copy one and change it.
//
// Each names the views it cannot do without as "required": a chest protocol
// needs both the frontal and the lateral view, a 4-view all four, and a
// protocol with the prior the prior's matching images; otherwise a plainer
// protocol (or the default layout) applies.
#include "hanging/HangingProtocol.h"

namespace hanging {

const std::string& BuiltInProtocolsJson() {
  static const std::string text = R"json({
  "protocols": [
    {
      "name": "CT",
      "match": {"modality": "CT"},
      "stages": [
        {"name": "Axial", "rows": 1, "cols": 1, "cells": [
          {"modality": "CT", "orientation": "axial", "required": true}
        ]},
        {"name": "Axial, coronal and sagittal", "rows": 1, "cols": 3, "cells": [
          {"modality": "CT", "orientation": "axial", "links": ["window"]},
          {"modality": "CT", "orientation": "coronal", "links": ["window"]},
          {"modality": "CT", "orientation": "sagittal", "links": ["window"]}
        ]}
      ]
    },
    {
      "name": "CT with prior",
      "match": {"modality": "CT", "prior": true},
      "stages": [
        {"name": "Axial, current and prior", "rows": 1, "cols": 2, "cells": [
          {"role": "current", "modality": "CT", "orientation": "axial", "required": true,
           "links": ["scroll", "window", "zoom"]},
          {"role": "prior", "modality": "CT", "orientation": "axial", "required": true,
           "links": ["scroll", "window", "zoom"]}
        ]},
        {"name": "Coronal, current and prior", "rows": 1, "cols": 2, "cells": [
          {"role": "current", "modality": "CT", "orientation": "coronal",
           "links": ["scroll", "window", "zoom"]},
          {"role": "prior", "modality": "CT", "orientation": "coronal",
           "links": ["scroll", "window", "zoom"]}
        ]}
      ]
    },
    {
      "name": "MR",
      "match": {"modality": "MR"},
      "stages": [
        {"name": "Axial series", "rows": 2, "cols": 2, "cells": [
          {"modality": "MR", "orientation": "axial", "required": true, "links": ["scroll"]},
          {"modality": "MR", "orientation": "axial", "links": ["scroll"]},
          {"modality": "MR", "orientation": "sagittal"},
          {"modality": "MR", "orientation": "coronal"}
        ]},
        {"name": "All series", "rows": 3, "cols": 3, "cells": [
          {"modality": "MR"}, {"modality": "MR"}, {"modality": "MR"},
          {"modality": "MR"}, {"modality": "MR"}, {"modality": "MR"},
          {"modality": "MR"}, {"modality": "MR"}, {"modality": "MR"}
        ]}
      ]
    },
    {
      "name": "MR with prior",
      "match": {"modality": "MR", "prior": true},
      "stages": [
        {"name": "Axial, current beside prior", "rows": 2, "cols": 2, "cells": [
          {"role": "current", "modality": "MR", "orientation": "axial", "required": true,
           "links": ["scroll", "zoom"]},
          {"role": "prior", "modality": "MR", "orientation": "axial", "required": true,
           "links": ["scroll", "zoom"]},
          {"role": "current", "modality": "MR", "orientation": "axial", "links": ["scroll", "zoom"]},
          {"role": "prior", "modality": "MR", "orientation": "axial", "links": ["scroll", "zoom"]}
        ]},
        {"name": "Sagittal and coronal, current beside prior", "rows": 2, "cols": 2, "cells": [
          {"role": "current", "modality": "MR", "orientation": "sagittal", "links": ["zoom"]},
          {"role": "prior", "modality": "MR", "orientation": "sagittal", "links": ["zoom"]},
          {"role": "current", "modality": "MR", "orientation": "coronal", "links": ["zoom"]},
          {"role": "prior", "modality": "MR", "orientation": "coronal", "links": ["zoom"]}
        ]}
      ]
    },
    {
      "name": "Chest X-ray PA and lateral",
      "match": {"modality": ["CR", "DX"], "bodyPart": "CHEST|THORAX"},
      "stages": [
        {"name": "PA and lateral", "rows": 1, "cols": 2, "cells": [
          {"modality": ["CR", "DX"], "viewPosition": ["PA", "AP"], "required": true},
          {"modality": ["CR", "DX"], "viewPosition": ["LL", "RL", "LATERAL", "LAT"],
           "required": true}
        ]}
      ]
    },
    {
      "name": "Chest X-ray PA and lateral with prior",
      "match": {"modality": ["CR", "DX"], "bodyPart": "CHEST|THORAX", "prior": true},
      "stages": [
        {"name": "Current over prior", "rows": 2, "cols": 2, "cells": [
          {"role": "current", "modality": ["CR", "DX"], "viewPosition": ["PA", "AP"],
           "required": true},
          {"role": "current", "modality": ["CR", "DX"],
           "viewPosition": ["LL", "RL", "LATERAL", "LAT"], "required": true},
          {"role": "prior", "modality": ["CR", "DX"], "viewPosition": ["PA", "AP"],
           "required": true},
          {"role": "prior", "modality": ["CR", "DX"],
           "viewPosition": ["LL", "RL", "LATERAL", "LAT"]}
        ]},
        {"name": "PA, current and prior", "rows": 1, "cols": 2, "cells": [
          {"role": "current", "modality": ["CR", "DX"], "viewPosition": ["PA", "AP"],
           "links": ["zoom"]},
          {"role": "prior", "modality": ["CR", "DX"], "viewPosition": ["PA", "AP"],
           "links": ["zoom"]}
        ]}
      ]
    },
    {
      "name": "Mammography 4-view",
      "match": {"modality": "MG"},
      "stages": [
        {"name": "4-view", "rows": 2, "cols": 2, "cells": [
          {"modality": "MG", "viewPosition": "CC", "laterality": "R", "align": "right",
           "required": true, "links": ["zoom"]},
          {"modality": "MG", "viewPosition": "CC", "laterality": "L", "align": "left",
           "required": true, "links": ["zoom"]},
          {"modality": "MG", "viewPosition": "MLO", "laterality": "R", "align": "right",
           "required": true, "links": ["zoom"]},
          {"modality": "MG", "viewPosition": "MLO", "laterality": "L", "align": "left",
           "required": true, "links": ["zoom"]}
        ]}
      ]
    },
    {
      "name": "Mammography 4-view with prior",
      "match": {"modality": "MG", "prior": true},
      "stages": [
        {"name": "CC, current over prior", "rows": 2, "cols": 2, "cells": [
          {"role": "current", "modality": "MG", "viewPosition": "CC", "laterality": "R",
           "align": "right", "required": true, "links": ["zoom"]},
          {"role": "current", "modality": "MG", "viewPosition": "CC", "laterality": "L",
           "align": "left", "required": true, "links": ["zoom"]},
          {"role": "prior", "modality": "MG", "viewPosition": "CC", "laterality": "R",
           "align": "right", "required": true, "links": ["zoom"]},
          {"role": "prior", "modality": "MG", "viewPosition": "CC", "laterality": "L",
           "align": "left", "required": true, "links": ["zoom"]}
        ]},
        {"name": "MLO, current over prior", "rows": 2, "cols": 2, "cells": [
          {"role": "current", "modality": "MG", "viewPosition": "MLO", "laterality": "R",
           "align": "right", "required": true, "links": ["zoom"]},
          {"role": "current", "modality": "MG", "viewPosition": "MLO", "laterality": "L",
           "align": "left", "required": true, "links": ["zoom"]},
          {"role": "prior", "modality": "MG", "viewPosition": "MLO", "laterality": "R",
           "align": "right", "links": ["zoom"]},
          {"role": "prior", "modality": "MG", "viewPosition": "MLO", "laterality": "L",
           "align": "left", "links": ["zoom"]}
        ]},
        {"name": "Current 4-view", "rows": 2, "cols": 2, "cells": [
          {"modality": "MG", "viewPosition": "CC", "laterality": "R", "align": "right",
           "links": ["zoom"]},
          {"modality": "MG", "viewPosition": "CC", "laterality": "L", "align": "left",
           "links": ["zoom"]},
          {"modality": "MG", "viewPosition": "MLO", "laterality": "R", "align": "right",
           "links": ["zoom"]},
          {"modality": "MG", "viewPosition": "MLO", "laterality": "L", "align": "left",
           "links": ["zoom"]}
        ]}
      ]
    },
    {
      "name": "Ultrasound",
      "match": {"modality": "US", "minImages": 3},
      "stages": [
        {"name": "First four images", "rows": 2, "cols": 2, "cells": [
          {"modality": "US", "required": true}, {"modality": "US"},
          {"modality": "US"}, {"modality": "US"}
        ]},
        {"name": "First nine images", "rows": 3, "cols": 3, "cells": [
          {"modality": "US"}, {"modality": "US"}, {"modality": "US"},
          {"modality": "US"}, {"modality": "US"}, {"modality": "US"},
          {"modality": "US"}, {"modality": "US"}, {"modality": "US"}
        ]}
      ]
    },
    {
      "name": "Ultrasound, two images",
      "match": {"modality": "US", "minImages": 2, "maxImages": 2},
      "stages": [
        {"name": "Side by side", "rows": 1, "cols": 2, "cells": [
          {"modality": "US", "required": true}, {"modality": "US"}
        ]}
      ]
    }
  ]
}
)json";
  return text;
}

const TProtocolSet& BuiltInProtocols() {
  static const TProtocolSet set = ParseProtocols(BuiltInProtocolsJson(), "built-in");
  return set;
}

}  // namespace hanging
